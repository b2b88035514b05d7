// What the plug-in knows of the signature service: its address, report formats and query keys.
#pragma once

#ifndef VELK_SERVICE_HOST
#define VELK_SERVICE_HOST "localhost"
#endif

// The service's host, set at build time (VELK_SERVICE_HOST).
constexpr char kServiceHost[] = VELK_SERVICE_HOST;
constexpr char kServiceBaseUrl[] = "http://" VELK_SERVICE_HOST "/signature/generate";
constexpr char kRegistrationPageUrl[] = "http://" VELK_SERVICE_HOST "/user/register";

// Report URLs: the base URL, then "/?", the account fields and the track fields, in this order.
// User name and key go in unescaped; the five tag values escaped.
constexpr char kTrackReportFormat[] =
    "%s/?user=%s&key=%s&artist=%s&title=%s&album=%s&year=%s&genre=%s";
constexpr char kStoppedReportFormat[] = "%s/?user=%s&key=%s&artist=stopped&title=stopped";
constexpr char kChangeKeyFormat[] = "%s - %s";
