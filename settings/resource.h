// Identifiers of the configuration dialog's template, its controls and the logo bitmaps.
//
// Shared by the resource script and the C++ code, so plain macros. IDC_STATIC is the system's
// value, defined here only where <windows.h> has not defined it; IDOK and IDCANCEL come from
// <windows.h> in the script and from framework/dialog.h in the C++ code.
#pragma once

#define IDD_CONFIGURE 2000

#define IDC_USERNAME 2000
#define IDC_KEY 2001
#define IDC_ENABLE 2002
#define IDC_METHOD_GET 2003
#define IDC_METHOD_POST 2004
#define IDC_REGISTER 101

#ifndef IDC_STATIC
#define IDC_STATIC -1
#endif

#define IDB_LOGO_B 2005
#define IDB_LOGO_A 2009
