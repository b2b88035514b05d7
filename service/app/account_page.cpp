// The HTML of the account page and of its sign-in form.
#include "app/account_page.h"

#include "app/service.h"
#include "render/code_page.h"

namespace {

constexpr char kHead[] = R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Velk signature: account</title>
<style>
:root { --ink: #1b2230; --muted: #5b6476; --line: #dde1e8; --soft: #f3f5f8; --accent: #0a7bbf; }
* { box-sizing: border-box; }
body { font-family: "Noto Sans", "DejaVu Sans", sans-serif; margin: 0; color: var(--ink);
       background: #eef1f5; line-height: 1.45; }
header { background: #1e2330; color: #f5f7fc; padding: .8rem 1.5rem; display: flex;
         align-items: center; gap: 1rem; }
header .brand { font-weight: bold; font-size: 1.15rem; letter-spacing: .02rem; }
header .brand span { color: #4fc3f7; }
header .who { margin-left: auto; color: #a9b1c1; }
header form { margin: 0; }
main { max-width: 54rem; margin: 1.5rem auto; padding: 0 1rem; }
section { background: #fff; border: 1px solid var(--line); border-radius: 8px;
          padding: 1rem 1.25rem; margin-bottom: 1rem; }
h1 { font-size: 1.35rem; margin: .2rem 0 1rem; }
h2 { font-size: 1.05rem; margin: 0 0 .75rem; }
label { font-weight: bold; }
.hint { color: var(--muted); font-size: .88rem; margin: .3rem 0 0; }
.notice { background: #e4f3fb; border-left: 4px solid var(--accent); padding: .6rem 1rem;
          border-radius: 4px; }
.notice.error { background: #fde8d7; border-left-color: #d9822b; }
.key { font-family: "DejaVu Sans Mono", monospace; font-size: 1.35rem; letter-spacing: .1rem;
       background: var(--soft); padding: .3rem .6rem; border-radius: 4px; display: inline-block; }
.grid { display: grid; grid-template-columns: 9rem 1fr; gap: .7rem 1rem; align-items: center; }
.choices { display: flex; flex-wrap: wrap; gap: .4rem 1.1rem; }
.choices label { font-weight: normal; }
.stage { background: repeating-conic-gradient(#f3f5f8 0 25%, #e6e9ee 0 50%) 0 0 / 16px 16px;
         border: 1px solid var(--line); border-radius: 6px; padding: 1.2rem; text-align: center; }
.stage img { image-rendering: auto; box-shadow: 0 1px 3px rgba(0,0,0,.18); }
.unsaved { color: #b5651d; font-size: .88rem; }
input, select, textarea, button { font: inherit; }
input[type=text], input[type=password], select { padding: .3rem .45rem; min-width: 14rem;
       border: 1px solid #c4cad4; border-radius: 4px; }
button { padding: .4rem 1.1rem; border-radius: 4px; border: 1px solid #0a6aa5;
         background: var(--accent); color: #fff; cursor: pointer; }
button.plain { background: #fff; color: var(--ink); border-color: #c4cad4; }
button.danger { background: #c0392b; border-color: #a93226; }
.snippet { display: flex; gap: .5rem; align-items: flex-start; margin-bottom: .6rem; }
.snippet label { width: 6.5rem; padding-top: .3rem; }
.snippet textarea { flex: 1; font-family: "DejaVu Sans Mono", monospace; font-size: .82rem;
       height: 2.6rem; resize: none; border: 1px solid var(--line); border-radius: 4px;
       background: var(--soft); padding: .35rem .5rem; }
code { background: var(--soft); padding: .1rem .3rem; border-radius: 3px; word-break: break-all; }
</style>
</head>
<body>
)";

constexpr char kScript[] = R"(<script>
(() => {
  const form = document.getElementById('settings');
  const preview = document.getElementById('preview');
  const unsaved = document.getElementById('unsaved');
  const sizes = {card: [400, 60], banner: [468, 60], userbar: [350, 19]};
  const query = () => {
    const data = new FormData(form);
    const q = new URLSearchParams();
    for (const name of ['template', 'theme', 'accent_mode', 'accent', 'codepage']) {
      q.set(name, data.get(name));
    }
    for (const name of ['album', 'year', 'genre']) if (data.get(name)) q.set(name, '1');
    return q.toString();
  };
  const saved = query();
  const update = () => {
    const q = query();
    const [width, height] = sizes[new URLSearchParams(q).get('template')] || sizes.card;
    preview.width = width;
    preview.height = height;
    preview.src = '/account/preview.png?' + q;
    unsaved.hidden = q === saved;
  };
  document.getElementById('accent').addEventListener('input', () => {
    document.getElementById('accent-own').checked = true;
  });
  form.addEventListener('input', update);
  form.addEventListener('change', update);
  for (const button of document.querySelectorAll('[data-copy]')) {
    button.addEventListener('click', async () => {
      const text = document.getElementById(button.dataset.copy);
      try {
        await navigator.clipboard.writeText(text.value);
      } catch {
        text.select();
        document.execCommand('copy');
      }
      button.textContent = 'Copied';
      setTimeout(() => { button.textContent = 'Copy'; }, 1500);
    });
  }
})();
</script>
)";

std::string Header(const std::string& name, const std::string& csrf) {
  std::string html = "<header><div class=\"brand\">Velk <span>signature</span></div>";
  if (!name.empty()) {
    html += "<div class=\"who\">Signed in as <strong id=\"user\">" + EscapeHtml(name) +
            "</strong></div>";
    html +=
        "<form method=\"post\" action=\"/account/signout\"><input type=\"hidden\" "
        "name=\"csrf\" value=\"" +
        EscapeHtml(csrf) + "\"><button class=\"plain\" id=\"signout\">Sign out</button></form>";
  }
  return html + "</header>\n<main>\n";
}

std::string Hidden(const std::string& csrf) {
  return "<input type=\"hidden\" name=\"csrf\" value=\"" + EscapeHtml(csrf) + "\">\n";
}

std::string Checked(bool on) { return on ? " checked" : ""; }

std::string Radio(const char* name, const std::string& value, const std::string& label, bool on,
                  const std::string& id) {
  return "<label><input type=\"radio\" name=\"" + std::string(name) + "\" value=\"" + value +
         "\" id=\"" + id + "\"" + Checked(on) + "> " + EscapeHtml(label) + "</label>\n";
}

std::string LookSection(const CAccountPage& page) {
  const CSignatureStyle& style = page.style;
  const CTemplateInfo& saved = TemplateInfo(style.layout);
  std::string html = "<section>\n<h2>Look</h2>\n";
  html +=
      "<div class=\"stage\"><img id=\"preview\" alt=\"Preview of the signature\" src=\"/account/"
      "preview.png?template=" +
      std::string(saved.name) + "&amp;theme=" + ThemeName(style.theme) +
      (style.accent >= 0 ? "&amp;accent_mode=own&amp;accent=" +
                               EscapeHtml(FormatAccent(style.accent)).replace(0, 1, "%23")
                         : "&amp;accent_mode=theme") +
      (style.showAlbum ? "&amp;album=1" : "") + (style.showYear ? "&amp;year=1" : "") +
      (style.showGenre ? "&amp;genre=1" : "") + "&amp;codepage=" + std::to_string(page.codePage) +
      "\" width=\"" + std::to_string(saved.width) + "\" height=\"" + std::to_string(saved.height) +
      "\"></div>\n";
  html +=
      "<p class=\"hint\">The preview follows every choice. <span class=\"unsaved\" "
      "id=\"unsaved\" hidden>Not saved yet.</span></p>\n";
  html += "<form method=\"post\" action=\"/account/settings\" id=\"settings\">\n" +
          Hidden(page.csrf) +
          "<div class=\"grid\">\n<span><label>Template</label></span><div "
          "class=\"choices\">\n";
  for (const CTemplateInfo& info : SupportedTemplates()) {
    html += Radio("template", info.name, info.label, info.id == style.layout,
                  std::string("template-") + info.name);
  }
  html += "</div>\n<span><label>Theme</label></span><div class=\"choices\">\n";
  html += Radio("theme", "dark", "Dark", style.theme == ETheme::kDark, "theme-dark");
  html += Radio("theme", "light", "Light", style.theme == ETheme::kLight, "theme-light");
  html += "</div>\n<span><label for=\"accent\">Accent</label></span><div class=\"choices\">\n";
  html += Radio("accent_mode", "theme", "The theme's", style.accent < 0, "accent-theme");
  html += "<label><input type=\"radio\" name=\"accent_mode\" value=\"own\" id=\"accent-own\"" +
          Checked(style.accent >= 0) +
          "> Own: <input type=\"color\" name=\"accent\" id=\"accent\" value=\"" +
          FormatAccent(style.accent >= 0 ? style.accent : DefaultAccent(style.theme)) +
          "\"></label>\n";
  html += "</div>\n<span><label>Shows</label></span><div class=\"choices\">\n";
  html += "<label><input type=\"checkbox\" name=\"album\" value=\"1\" id=\"show-album\"" +
          Checked(style.showAlbum) + "> Album</label>\n";
  html += "<label><input type=\"checkbox\" name=\"year\" value=\"1\" id=\"show-year\"" +
          Checked(style.showYear) + "> Year</label>\n";
  html += "<label><input type=\"checkbox\" name=\"genre\" value=\"1\" id=\"show-genre\"" +
          Checked(style.showGenre) + "> Genre</label>\n";
  html +=
      "</div>\n<span><label for=\"codepage\">Code page</label></span><div>\n<select "
      "id=\"codepage\" name=\"codepage\">\n";
  for (const CCodePageInfo& codePage : SupportedCodePages()) {
    html += "<option value=\"" + std::to_string(codePage.id) + "\"" +
            (codePage.id == page.codePage ? " selected" : "") + ">" + EscapeHtml(codePage.label) +
            "</option>\n";
  }
  html +=
      "</select>\n<p class=\"hint\">The code page of the player's tags: the language setting "
      "of Windows for programs that do not use Unicode decides it.</p></div>\n</div>\n";
  html += "<p><button id=\"save\">Save</button></p>\n</form>\n</section>\n";
  return html;
}

std::string Snippet(const char* id, const char* label, const std::string& text) {
  return "<div class=\"snippet\"><label for=\"" + std::string(id) + "\">" + label +
         "</label><textarea id=\"" + id + "\" readonly>" + EscapeHtml(text) +
         "</textarea><button type=\"button\" class=\"plain\" data-copy=\"" + id +
         "\">Copy</button></div>\n";
}

std::string SnippetSection(const CAccountPage& page) {
  const CTemplateInfo& saved = TemplateInfo(page.style.layout);
  const std::string base = page.publicUrl + "/signature/" + page.name;
  const std::string url = base + ".png";
  std::string html = "<section>\n<h2>Paste into your forum signature</h2>\n";
  html += "<p>Image: <code id=\"image-url\">" + EscapeHtml(url) + "</code></p>\n";
  html += Snippet("snippet-forum", "Forum code", "[img]" + url + "[/img]");
  html +=
      Snippet("snippet-html", "HTML",
              "<img src=\"" + url + "\" width=\"" + std::to_string(saved.width) + "\" height=\"" +
                  std::to_string(saved.height) + "\" alt=\"" + page.name + " on Velk\">");
  html += Snippet("snippet-markdown", "Markdown", "![" + page.name + " on Velk](" + url + ")");
  html += "<p class=\"hint\">The image is the saved template. One size for each forum: <code>" +
          EscapeHtml(base) +
          "/card.png</code>, <code>/banner.png</code> or "
          "<code>/userbar.png</code> in the saved theme.</p>\n</section>\n";
  return html;
}

std::string KeySection(const CAccountPage& page) {
  std::string html = "<section>\n<h2>Key</h2>\n";
  html +=
      "<p>The player's Velk settings need the user name and the key. A new key replaces the "
      "old one at once: players with the old key are refused until they get the new "
      "one.</p>\n<form method=\"post\" action=\"/account/key\">\n" +
      Hidden(page.csrf) +
      "<button class=\"plain\" id=\"new-key\">Make a new key</button>\n</form>\n</section>\n";
  html += "<section>\n<h2>Delete the account</h2>\n";
  html +=
      "<p>Deletes the account with its signature, settings and key; the name is free again. "
      "Type the account's name to confirm.</p>\n<form method=\"post\" "
      "action=\"/account/delete\">\n" +
      Hidden(page.csrf) +
      "<input type=\"text\" name=\"confirm\" id=\"confirm\" autocomplete=\"off\" "
      "placeholder=\"" +
      EscapeHtml(page.name) +
      "\">\n<button class=\"danger\" id=\"delete\">Delete the account</button>\n</form>\n"
      "</section>\n";
  return html;
}

}  // namespace

std::string AccountPageHtml(const CAccountPage& page) {
  std::string html = kHead + Header(page.name, page.csrf);
  html += "<h1>Your Velk signature</h1>\n";
  if (!page.notice.empty()) {
    html += std::string("<p class=\"notice") + (page.error ? " error" : "") + "\" id=\"notice\">" +
            EscapeHtml(page.notice) + "</p>\n";
  }
  if (!page.key.empty()) {
    html +=
        "<section>\n<h2>Your key, shown only this once</h2>\n<p class=\"key\" id=\"key\">" +
        EscapeHtml(page.key) +
        "</p>\n<p>In the player, open the Velk plug-in's settings, enter the user name <strong>" +
        EscapeHtml(page.name) +
        "</strong> and this key, tick \"Enable Velk\" and press \"Apply\". Keep the key: it "
        "also signs you in here.</p>\n</section>\n";
  }
  html +=
      LookSection(page) + SnippetSection(page) + OtherPlayersSectionHtml(page) + KeySection(page);
  html += "</main>\n";
  html += kScript;
  html += "</body>\n</html>\n";
  return html;
}

std::string SignInPageHtml(const std::string& error, const std::string& name,
                           const std::string& csrf) {
  std::string html = kHead + Header("", "");
  html += "<section>\n<h1>Sign in to your signature</h1>\n";
  if (!error.empty()) {
    html += "<p class=\"notice error\" id=\"error\">" + EscapeHtml(error) + "</p>\n";
  }
  html += "<form method=\"post\" action=\"/account/signin\">\n" + Hidden(csrf) +
          "<div class=\"grid\">\n<label for=\"name\">User name</label><input type=\"text\" "
          "id=\"name\" name=\"name\" required autocomplete=\"username\" value=\"" +
          EscapeHtml(name) +
          "\">\n<label for=\"key\">Key</label><input type=\"password\" id=\"key\" name=\"key\" "
          "required inputmode=\"numeric\" autocomplete=\"current-password\">\n</div>\n"
          "<p class=\"hint\">The key the player's Velk settings use.</p>\n"
          "<p><button id=\"signin\">Sign in</button></p>\n</form>\n"
          "<p class=\"hint\">No account yet? <a href=\"/user/register\">Register one</a>.</p>\n"
          "</section>\n</main>\n</body>\n</html>\n";
  return html;
}

std::string DeletedPageHtml(const std::string& name) {
  return kHead + Header("", "") + "<section>\n<h1 id=\"deleted\">The account " + EscapeHtml(name) +
         " is deleted</h1>\n<p>Its signature, settings and key are gone, and the name is free "
         "again. <a href=\"/user/register\">Register an account</a>.</p>\n</section>\n</main>\n"
         "</body>\n</html>\n";
}
