// The HTML of the account page and of its sign-in form.
#include "app/account_page.h"

#include "app/service.h"
#include "render/code_page.h"

namespace {

// The start of every page up to <body>; `title` ends the document's title.
std::string Head(const std::string& title) {
  return R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<title>Velk signature: )" +
         title + R"(</title>
<style>
:root { --ink: #1b2230; --muted: #5b6476; --line: #dde1e8; --soft: #f3f5f8; --accent: #0a7bbf; }
* { box-sizing: border-box; }
html { -webkit-text-size-adjust: 100%; text-size-adjust: 100%; }
body { font-family: "Noto Sans", "DejaVu Sans", sans-serif; margin: 0; color: var(--ink);
       background: #eef1f5; line-height: 1.45; overflow-wrap: anywhere; }
header { background: #1e2330; color: #f5f7fc; padding: .4rem 1rem; display: flex;
         flex-wrap: wrap; align-items: center; gap: .2rem 1rem; min-height: 3.5rem; }
header .brand { font-weight: bold; font-size: 1.15rem; letter-spacing: .02rem; }
header .brand span { color: #4fc3f7; }
header .who { margin-left: auto; color: #a9b1c1; min-width: 0; }
header form { margin: 0; }
main { max-width: 54rem; margin: 1rem auto; padding: 0 .75rem; }
main.narrow { max-width: 42rem; }
section { background: #fff; border: 1px solid var(--line); border-radius: 8px;
          padding: 1rem 1.25rem; margin-bottom: 1rem; min-width: 0; }
h1 { font-size: 1.35rem; margin: .2rem 0 1rem; }
h2 { font-size: 1.05rem; margin: 0 0 .75rem; }
label { font-weight: bold; }
a { color: #0a6aa5; }
.hint { color: var(--muted); font-size: .88rem; margin: .3rem 0 0; }
.notice { background: #e4f3fb; border-left: 4px solid var(--accent); padding: .6rem 1rem;
          border-radius: 4px; }
.notice.error { background: #fde8d7; border-left-color: #d9822b; }
.key { font-family: "DejaVu Sans Mono", monospace; font-size: clamp(1rem, 5.2vw, 1.35rem);
       letter-spacing: .1rem; background: var(--soft); padding: .3rem .6rem; border-radius: 4px;
       display: inline-block; }
.grid { display: grid; grid-template-columns: 9rem minmax(0, 1fr); gap: .5rem 1rem;
        align-items: center; }
.choices { display: flex; flex-wrap: wrap; gap: 0 1.1rem; }
.choices label, label.check { display: inline-flex; align-items: center; gap: .45rem;
       min-height: 44px; font-weight: normal; cursor: pointer; }
input[type=radio], input[type=checkbox] { width: 1.2rem; height: 1.2rem; margin: 0; }
input[type=color] { width: 44px; height: 44px; padding: 2px; border: 1px solid #c4cad4;
       border-radius: 4px; background: #fff; }
.stage { background: repeating-conic-gradient(#f3f5f8 0 25%, #e6e9ee 0 50%) 0 0 / 16px 16px;
         border: 1px solid var(--line); border-radius: 6px; padding: 1rem .5rem;
         text-align: center; }
.stage img { max-width: 100%; height: auto; vertical-align: middle;
             box-shadow: 0 1px 3px rgba(0,0,0,.18); }
.unsaved { color: #a35416; }
input, select, textarea, button { font: inherit; }
input[type=text], input[type=password], select { min-height: 44px; width: 100%;
       max-width: 22rem; padding: .35rem .55rem; border: 1px solid #c4cad4; border-radius: 4px;
       background: #fff; }
button, .button { min-height: 44px; padding: .45rem 1.1rem; border-radius: 4px;
       border: 1px solid #0a6aa5; background: var(--accent); color: #fff; cursor: pointer;
       display: inline-flex; align-items: center; justify-content: center; }
button.plain, .button.plain { background: #fff; color: var(--ink); border-color: #c4cad4; }
button.danger { background: #c0392b; border-color: #a93226; }
.row { display: flex; flex-wrap: wrap; gap: .6rem; align-items: center; }
.snippet { display: grid; grid-template-columns: 6.5rem minmax(0, 1fr) auto; gap: .5rem;
           align-items: start; margin-bottom: .6rem; }
.snippet label { padding-top: .6rem; }
.snippet textarea { width: 100%; min-height: 44px; font-family: "DejaVu Sans Mono", monospace;
       font-size: .82rem; resize: none; overflow: hidden; field-sizing: content;
       border: 1px solid var(--line); border-radius: 4px; background: var(--soft);
       padding: .55rem .5rem; }
code { background: var(--soft); padding: .1rem .3rem; border-radius: 3px; }
details > summary { list-style: none; width: max-content; max-width: 100%; }
details > summary::-webkit-details-marker { display: none; }
details[open] > summary { margin-bottom: .6rem; }
.warning { background: #fdf3e7; border-left: 4px solid #d9822b; border-radius: 4px;
           padding: .6rem 1rem; }
@media (max-width: 36rem) {
  header { padding: .4rem .75rem; }
  main { padding: 0 .5rem; }
  section { padding: .85rem .8rem; }
  .grid { grid-template-columns: minmax(0, 1fr); gap: .1rem; }
  .grid > span, .grid > label { margin-top: .6rem; }
  .snippet { grid-template-columns: minmax(0, 1fr) auto; }
  .snippet label { grid-column: 1 / -1; padding-top: 0; }
}
</style>
</head>
<body>
)";
}

constexpr char kScript[] = R"(<script>
(() => {
  const form = document.getElementById('settings');
  const preview = document.getElementById('preview');
  const unsaved = document.getElementById('unsaved');
  const contrast = document.getElementById('contrast');
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
  // WCAG relative luminance and contrast, as the images use them.
  const luminance = (hex) => [1, 3, 5].map((i) => parseInt(hex.substr(i, 2), 16) / 255)
    .map((c) => c <= 0.03928 ? c / 12.92 : ((c + 0.055) / 1.055) ** 2.4)
    .reduce((sum, c, i) => sum + c * [0.2126, 0.7152, 0.0722][i], 0);
  const ratio = (a, b) => {
    const [x, y] = [luminance(a), luminance(b)];
    return (Math.max(x, y) + 0.05) / (Math.min(x, y) + 0.05);
  };
  const checkContrast = () => {
    const data = new FormData(form);
    const theme = data.get('theme');
    const value = ratio(data.get('accent'), contrast.dataset[theme]);
    contrast.hidden = data.get('accent_mode') !== 'own' || value >= 3;
    contrast.textContent = `This colour has a contrast of ${value.toFixed(1)}:1 against the ` +
      `${theme} theme's background, under the 3:1 that text needs: the image writes ` +
      `"Now playing" in a ${theme === 'light' ? 'darker' : 'lighter'} shade of it, as the ` +
      'preview shows. The bar keeps the colour itself.';
  };
  const saved = query();
  const update = () => {
    const q = query();
    const [width, height] = sizes[new URLSearchParams(q).get('template')] || sizes.card;
    preview.width = width;
    preview.height = height;
    preview.src = '/account/preview.png?' + q;
    unsaved.hidden = q === saved;
    checkContrast();
  };
  document.getElementById('accent').addEventListener('input', () => {
    document.getElementById('accent-own').checked = true;
  });
  form.addEventListener('input', update);
  form.addEventListener('change', update);
  checkContrast();
  // Snippet boxes as tall as their text, at any width.
  const snippets = document.querySelectorAll('.snippet textarea');
  const fit = () => {
    for (const text of snippets) {
      text.style.height = 'auto';
      text.style.height = `${text.scrollHeight + 2}px`;
    }
  };
  fit();
  addEventListener('resize', fit);
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

constexpr char kEnd[] = "</main>\n</body>\n</html>\n";

// The dark bar on top, with the signed-in name and sign-out when `name` is not empty, and the
// start of <main>: `narrow` for pages of one small form.
std::string Header(const std::string& name, const std::string& csrf, bool narrow = false) {
  std::string html = "<header><div class=\"brand\">Velk <span>signature</span></div>";
  if (!name.empty()) {
    html += "<div class=\"who\">Signed in as <strong id=\"user\">" + EscapeHtml(name) +
            "</strong></div>";
    html +=
        "<form method=\"post\" action=\"/account/signout\"><input type=\"hidden\" "
        "name=\"csrf\" value=\"" +
        EscapeHtml(csrf) + "\"><button class=\"plain\" id=\"signout\">Sign out</button></form>";
  }
  return html + (narrow ? "</header>\n<main class=\"narrow\">\n" : "</header>\n<main>\n");
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

// A URL escaped for HTML, with line-break opportunities after its slashes, so that a narrow
// screen breaks it between its parts rather than inside a word.
std::string BreakableUrl(const std::string& url) {
  std::string html;
  for (char c : url) {
    html += EscapeHtml(std::string_view(&c, 1));
    if (c == '/') html += "<wbr>";
  }
  return html;
}

std::string CodePageOptions(int chosen) {
  std::string html;
  for (const CCodePageInfo& codePage : SupportedCodePages()) {
    html += "<option value=\"" + std::to_string(codePage.id) + "\"" +
            (codePage.id == chosen ? " selected" : "") + ">" + EscapeHtml(codePage.label) +
            "</option>\n";
  }
  return html;
}

std::string Notice(const std::string& text, bool error, const char* id) {
  if (text.empty()) return "";
  return std::string("<p class=\"notice") + (error ? " error" : "") + "\" id=\"" + id + "\">" +
         EscapeHtml(text) + "</p>\n";
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
  html += "<p class=\"hint\">";
  if (page.sample) {
    html += "<span id=\"sample\">No track reported yet: the preview shows a sample track.</span> ";
  }
  html +=
      "The preview follows every choice. <strong class=\"unsaved\" id=\"unsaved\" hidden>Not "
      "saved yet.</strong></p>\n";
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
  html += "</div>\n<span><label for=\"accent\">Accent</label></span><div><div class=\"choices\">\n";
  html += Radio("accent_mode", "theme", "The theme's", style.accent < 0, "accent-theme");
  html += "<label><input type=\"radio\" name=\"accent_mode\" value=\"own\" id=\"accent-own\"" +
          Checked(style.accent >= 0) +
          "> Own: <input type=\"color\" name=\"accent\" id=\"accent\" value=\"" +
          FormatAccent(style.accent >= 0 ? style.accent : DefaultAccent(style.theme)) +
          "\"></label>\n</div>\n";
  html += "<p class=\"hint\" id=\"contrast\" hidden data-dark=\"" +
          FormatAccent(ThemeBackground(ETheme::kDark)) + "\" data-light=\"" +
          FormatAccent(ThemeBackground(ETheme::kLight)) + "\"></p></div>\n";
  html += "<span><label>Shows</label></span><div class=\"choices\">\n";
  html += "<label><input type=\"checkbox\" name=\"album\" value=\"1\" id=\"show-album\"" +
          Checked(style.showAlbum) + "> Album</label>\n";
  html += "<label><input type=\"checkbox\" name=\"year\" value=\"1\" id=\"show-year\"" +
          Checked(style.showYear) + "> Year</label>\n";
  html += "<label><input type=\"checkbox\" name=\"genre\" value=\"1\" id=\"show-genre\"" +
          Checked(style.showGenre) + "> Genre</label>\n";
  html +=
      "</div>\n<span><label for=\"codepage\">Code page</label></span><div>\n<select "
      "id=\"codepage\" name=\"codepage\">\n" +
      CodePageOptions(page.codePage) +
      "</select>\n<p class=\"hint\">The code page of the player's tags: the language setting "
      "of Windows for programs that do not use Unicode decides it.</p></div>\n</div>\n";
  html += "<p><button id=\"save\">Save</button></p>\n</form>\n</section>\n";
  return html;
}

std::string Snippet(const char* id, const char* label, const std::string& text) {
  return "<div class=\"snippet\"><label for=\"" + std::string(id) + "\">" + label +
         "</label><textarea id=\"" + id + "\" rows=\"2\" readonly>" + EscapeHtml(text) +
         "</textarea><button type=\"button\" class=\"plain\" data-copy=\"" + id +
         "\">Copy</button></div>\n";
}

std::string SnippetSection(const CAccountPage& page) {
  const CTemplateInfo& saved = TemplateInfo(page.style.layout);
  const std::string base = page.publicUrl + "/signature/" + page.name;
  const std::string url = base + ".png";
  std::string html = "<section>\n<h2>Paste into your forum signature</h2>\n";
  html += "<p>Image: <code id=\"image-url\">" + BreakableUrl(url) + "</code></p>\n";
  html += Snippet("snippet-forum", "Forum code", "[img]" + url + "[/img]");
  html +=
      Snippet("snippet-html", "HTML",
              "<img src=\"" + url + "\" width=\"" + std::to_string(saved.width) + "\" height=\"" +
                  std::to_string(saved.height) + "\" alt=\"" + page.name + " on Velk\">");
  html += Snippet("snippet-markdown", "Markdown", "![" + page.name + " on Velk](" + url + ")");
  html += "<p class=\"hint\">The image is the saved template. One size for each forum: <code>" +
          BreakableUrl(base + "/card.png") +
          "</code>, <code>/banner.png</code> or "
          "<code>/userbar.png</code> in the saved theme.</p>\n</section>\n";
  return html;
}

std::string KeySection(const CAccountPage& page) {
  std::string html = "<section>\n<h2>Key</h2>\n";
  html +=
      "<p>The player's Velk settings need the user name and the key.</p>\n"
      "<details id=\"new-key-box\"><summary class=\"button plain\" id=\"new-key-open\">Make a "
      "new key\u2026</summary>\n<div class=\"warning\">\n<p><strong>The player stops "
      "reporting at once.</strong> The old key is refused from the moment the new one is made, "
      "and other pages signed in with it are signed out. Enter the new key in the player's Velk "
      "settings and press \"Apply\" to bring the signature back.</p>\n"
      "<form method=\"post\" action=\"/account/key\">\n" +
      Hidden(page.csrf) +
      "<button class=\"danger\" id=\"new-key\">Make the new key now</button>\n</form>\n"
      "</div>\n</details>\n</section>\n";
  html += "<section>\n<h2>Delete the account</h2>\n";
  html +=
      "<p>Deletes the account with its signature, settings and key; the name is free again. "
      "Type the account's name to confirm.</p>\n<form method=\"post\" "
      "action=\"/account/delete\" class=\"row\">\n" +
      Hidden(page.csrf) +
      "<input type=\"text\" name=\"confirm\" id=\"confirm\" autocomplete=\"off\" "
      "aria-label=\"The account's name\" placeholder=\"" +
      EscapeHtml(page.name) +
      "\">\n<button class=\"danger\" id=\"delete\">Delete the account</button>\n</form>\n"
      "</section>\n";
  return html;
}

}  // namespace

std::string AccountPageHtml(const CAccountPage& page) {
  std::string html = Head("account") + Header(page.name, page.csrf);
  html += "<h1>Your Velk signature</h1>\n" + Notice(page.notice, page.error, "notice");
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
  std::string html = Head("sign in") + Header("", "", true);
  html += "<section>\n<h1>Sign in to your signature</h1>\n" + Notice(error, true, "error");
  html += "<form method=\"post\" action=\"/account/signin\">\n" + Hidden(csrf) +
          "<div class=\"grid\">\n<label for=\"name\">User name</label><input type=\"text\" "
          "id=\"name\" name=\"name\" required autocomplete=\"username\" value=\"" +
          EscapeHtml(name) +
          "\">\n<label for=\"key\">Key</label><input type=\"password\" id=\"key\" name=\"key\" "
          "required inputmode=\"numeric\" autocomplete=\"current-password\">\n</div>\n"
          "<p class=\"hint\">The key the player's Velk settings use.</p>\n"
          "<p><button id=\"signin\">Sign in</button></p>\n</form>\n"
          "<p class=\"hint\">No account yet? <a href=\"/user/register\">Register one</a>.</p>\n"
          "</section>\n" +
          kEnd;
  return html;
}

std::string RegisterPageHtml(const std::string& error, const std::string& name, int codePage,
                             const std::string& csrf) {
  std::string html = Head("register") + Header("", "", true);
  html += "<section>\n<h1>Register a Velk signature</h1>\n" + Notice(error, true, "error");
  html += "<form method=\"post\" action=\"/user/register\">\n" + Hidden(csrf) +
          R"(<div class="grid">
<label for="name">User name</label>
<div><input type="text" id="name" name="name" required minlength="2" maxlength="32"
       autocomplete="username" pattern="[A-Za-z0-9][A-Za-z0-9._\-]*" value=")" +
          EscapeHtml(name) + R"(">
<p class="hint">2 to 32 letters, digits, ".", "_" or "-", starting with a letter or digit.</p></div>
<label for="codepage">Code page</label>
<div><select id="codepage" name="codepage">
)" + CodePageOptions(codePage) +
          R"(</select>
<p class="hint">The code page of your player's tags. The language setting of Windows for
programs that do not use Unicode decides it; most players in Western Europe and the Americas use
Windows-1252.</p></div>
</div>
<p><button type="submit" id="register">Register</button></p>
</form>
<p class="hint">Already have an account? <a href="/account" id="signin-link">Sign in</a>.</p>
</section>
)" + kEnd;
  return html;
}

std::string DeletedPageHtml(const std::string& name) {
  return Head("account deleted") + Header("", "", true) +
         "<section>\n<h1 id=\"deleted\">The account " + EscapeHtml(name) +
         " is deleted</h1>\n<p>Its signature, settings and key are gone, and the name is free "
         "again. <a href=\"/user/register\">Register an account</a>.</p>\n</section>\n" +
         kEnd;
}
