// The account page, its sign-in form, the registration form and the deleted page: what each of
// their templates in pages/ shows.
#include "pages/account_page.h"

#include "render/code_page.h"
#include "render/history_view.h"

namespace {

// What the top of every page shows: its title, and the bar of the signed-in account when `name`
// is not empty, with sign-out carrying the form token `csrf`; `narrow` for one small form.
CPageData PageData(const std::string& title, const std::string& name, const std::string& csrf,
                   bool narrow) {
  CPageData data;
  data.set("title", title);
  data.set("signed_in", !name.empty());
  data.set("name", name);
  data.set("csrf", csrf);
  data.set("narrow", narrow);
  return data;
}

// A line on top of the page with the element id `id`, when `text` is not empty.
void SetNotice(CPageData& data, const std::string& text, bool error, const char* id) {
  data.set("has_notice", !text.empty());
  data.set("notice_text", text);
  data.set("notice_error", error);
  data.set("notice_id", id);
}

CPageList CodePages(int chosen) {
  CPageList list;
  for (const CCodePageInfo& codePage : SupportedCodePages()) {
    CPageData option;
    option.set("id", std::to_string(codePage.id));
    option.set("label", codePage.label);
    option.set("selected", codePage.id == chosen);
    list.push_back(option);
  }
  return list;
}

// `url` in parts that each end after a slash, which the page follows with a line-break
// opportunity, so that a narrow screen breaks it between its parts rather than inside a word.
CPageList BreakableUrl(const std::string& url) {
  CPageList parts;
  for (size_t start = 0; start < url.size();) {
    const size_t slash = url.find('/', start);
    const size_t end = slash == std::string::npos ? url.size() : slash + 1;
    CPageData part;
    part.set("text", url.substr(start, end - start));
    part.set("slash", slash != std::string::npos);
    parts.push_back(part);
    start = end;
  }
  return parts;
}

// The preview's query for the saved look, as the page's script makes it for a changed one.
std::string PreviewQuery(const CAccountPage& page) {
  const CSignatureStyle& style = page.style;
  std::string query = std::string("template=") + TemplateInfo(style.layout).name +
                      "&theme=" + ThemeName(style.theme);
  if (style.accent >= 0) {
    query += "&accent_mode=own&accent=" + FormatAccent(style.accent).replace(0, 1, "%23");
  } else {
    query += "&accent_mode=theme";
  }
  if (style.showAlbum) query += "&album=1";
  if (style.showYear) query += "&year=1";
  if (style.showGenre) query += "&genre=1";
  return query + "&codepage=" + std::to_string(page.codePage);
}

void SetLook(const CAccountPage& page, CPageData& data) {
  const CSignatureStyle& style = page.style;
  const CTemplateInfo& saved = TemplateInfo(style.layout);
  data.set("preview_query", PreviewQuery(page));
  data.set("preview_width", std::to_string(saved.width));
  data.set("preview_height", std::to_string(saved.height));
  data.set("sample", page.sample);
  CPageList templates;
  for (const CTemplateInfo& info : SupportedTemplates()) {
    CPageData choice;
    choice.set("value", info.name);
    choice.set("label", info.label);
    choice.set("checked", info.id == style.layout);
    templates.push_back(choice);
  }
  data.set("templates", templates);
  data.set("theme_dark", style.theme == ETheme::kDark);
  data.set("own_accent", style.accent >= 0);
  data.set("accent", FormatAccent(style.accent >= 0 ? style.accent : DefaultAccent(style.theme)));
  data.set("dark_background", FormatAccent(ThemeBackground(ETheme::kDark)));
  data.set("light_background", FormatAccent(ThemeBackground(ETheme::kLight)));
  data.set("show_album", style.showAlbum);
  data.set("show_year", style.showYear);
  data.set("show_genre", style.showGenre);
  data.set("code_page_options", CodePages(page.codePage));
}

// The forum code, HTML and Markdown that embed the image at `url` (`width`×`height`), in boxes
// whose ids begin with `prefix`.
CPageList Snippets(const std::string& prefix, const std::string& url, int width, int height,
                   const std::string& alt) {
  CPageList snippets;
  auto add = [&snippets, &prefix](const char* id, const char* label, const std::string& text) {
    CPageData snippet;
    snippet.set("id", prefix + id);
    snippet.set("label", label);
    snippet.set("text", text);
    snippets.push_back(snippet);
  };
  add("forum", "Forum code", "[img]" + url + "[/img]");
  add("html", "HTML",
      "<img src=\"" + url + "\" width=\"" + std::to_string(width) + "\" height=\"" +
          std::to_string(height) + "\" alt=\"" + alt + "\">");
  add("markdown", "Markdown", "![" + alt + "](" + url + ")");
  return snippets;
}

void SetSnippets(const CAccountPage& page, CPageData& data) {
  const CTemplateInfo& saved = TemplateInfo(page.style.layout);
  const std::string base = page.publicUrl + "/signature/" + page.name;
  const std::string url = base + ".png";
  data.set("image_url", BreakableUrl(url));
  data.set("card_url", BreakableUrl(base + "/card.png"));
  data.set("snippets",
           Snippets("snippet-", url, saved.width, saved.height, page.name + " on Velk"));
}

// The history section: whether it is kept, the preview of the recent list and its snippets (the
// page's script keeps them in step with the choices).
void SetHistory(const CAccountPage& page, CPageData& data) {
  data.set("keep_history", page.keepHistory);
  CPageList counts;
  for (int count = 1; count <= 10; ++count) {
    CPageData option;
    option.set("value", std::to_string(count));
    option.set("selected", count == 5);
    counts.push_back(option);
  }
  data.set("counts", counts);
  const std::string path = "/signature/" + page.name + "/recent.png?count=5";
  data.set("history_path", path);
  data.set("history_base", page.publicUrl);
  data.set("history_snippets", Snippets("history-", page.publicUrl + path, kHistoryWidth,
                                        kHistoryHeight, page.name + "'s music on Velk"));
}

}  // namespace

std::string AccountPageHtml(const CAccountPage& page) {
  CPageData data = PageData("account", page.name, page.csrf, false);
  SetNotice(data, page.notice, page.error, "notice");
  data.set("has_key", !page.key.empty());
  data.set("key", page.key);
  SetLook(page, data);
  SetSnippets(page, data);
  SetHistory(page, data);
  data.set("players", OtherPlayersSection(page));
  data.set("script", true);
  return RenderPage("account", std::move(data));
}

std::string SignInPageHtml(const std::string& error, const std::string& name,
                           const std::string& csrf) {
  CPageData data = PageData("sign in", "", csrf, true);
  data.set("name", name);
  SetNotice(data, error, true, "error");
  return RenderPage("sign_in", std::move(data));
}

std::string RegisterPageHtml(const std::string& error, const std::string& name, int codePage,
                             const std::string& csrf) {
  CPageData data = PageData("register", "", csrf, true);
  data.set("name", name);
  data.set("code_page_options", CodePages(codePage));
  SetNotice(data, error, true, "error");
  return RenderPage("register", std::move(data));
}

std::string DeletedPageHtml(const std::string& name) {
  CPageData data = PageData("account deleted", "", "", true);
  data.set("name", name);
  return RenderPage("deleted", std::move(data));
}

std::string MessagePageHtml(const std::string& title, const std::string& message, bool reload) {
  CPageData data = PageData(title, "", "", true);
  data.set("message_text", message);
  data.set("reload", reload);
  return RenderPage("message", std::move(data));
}

std::string NoDatabasePageHtml() {
  return MessagePageHtml("unavailable",
                         "The service cannot reach its database; please try again later.");
}
