// Identifiers of the configuration dialog's template, its controls and the logo bitmaps.
//
// Shared by the resource script and the C++ code, so plain macros. IDOK, IDCANCEL and IDC_STATIC
// are the system's values, defined here only where <windows.h> has not defined them.
#pragma once

#define IDD_CONFIGURE 2000

#define IDC_USERNAME 2000
#define IDC_KEY 2001
#define IDC_ENABLE 2002
#define IDC_METHOD_GET 2003
#define IDC_METHOD_POST 2004
#define IDC_REGISTER 101

#ifndef IDOK
#define IDOK 1
#endif
#ifndef IDCANCEL
#define IDCANCEL 2
#endif
#ifndef IDC_STATIC
#define IDC_STATIC -1
#endif

#define IDB_LOGO_B 2005
#define IDB_LOGO_A 2009
