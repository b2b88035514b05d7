// Rendering the pages from their Mustache templates, and serving their style sheet and script.
#pragma once

#include <kainjow/mustache.hpp>
#include <string>
#include <string_view>

#include "http/message.h"

// What a template shows: an object of names to strings, flags, lists and objects.
using CPageData = kainjow::mustache::data;
using CPageList = kainjow::mustache::list;

// The Content-Security-Policy of every page: style sheet, script, images and form targets from
// this service only, and nothing inline, so injected markup can neither run nor restyle a page.
extern const char kPagePolicy[];
// The same, and no other site may frame the page: for pages whose forms act at once.
extern const char kUnframedPagePolicy[];

// The page from template pages/NAME.mustache filled with `data`. `{{x}}` is HTML-escaped. Every
// template is also a partial by its name (`{{> head}}`), and `style_url` and `script_url` name
// the style sheet and script with their version. Throws std::logic_error when the template is
// missing or does not parse, or when `data` names something as a template is named (it would
// hide the template): faults of the build, which the pages' tests show. Any thread.
std::string RenderPage(std::string_view name, CPageData data);

// The answer to a request for the style sheet or script at `path` (/static/velk.css,
// /static/velk.js); 404 for another path, 405 for a method but GET and HEAD. The answer carries
// an ETag, and may be cached for a year when the query names the file's current version, as the
// pages' links do. Any thread.
CHttpResponse StaticFileResponse(const CHttpRequest& request, std::string_view path);
