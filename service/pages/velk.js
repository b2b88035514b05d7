// The account page's live previews, contrast hint, snippet boxes and copy buttons.
(() => {
  const form = document.getElementById('settings');
  if (!form) return;
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
  // The history signature: its preview and snippets follow the list, rows, period and format.
  const history = document.getElementById('history-look');
  const historyPreview = document.getElementById('history-preview');
  const updateHistory = () => {
    const data = new FormData(history);
    const kind = data.get('kind');
    const recent = kind === 'recent';
    document.getElementById('history-count').hidden = !recent;
    document.getElementById('history-period').hidden = recent;
    const query = recent ? `count=${data.get('count')}` : `period=${data.get('period')}`;
    const path = `${historyPreview.dataset.path}${kind}.${data.get('format')}?${query}`;
    historyPreview.src = path;
    const url = historyPreview.dataset.base + path;
    const alt = document.getElementById('history-markdown').value.match(/^!\[([^\]]*)\]/)[1];
    document.getElementById('history-forum').value = `[img]${url}[/img]`;
    document.getElementById('history-html').value =
      `<img src="${url}" width="500" height="150" alt="${alt.replace(/"/g, '&quot;')}">`;
    document.getElementById('history-markdown').value = `![${alt}](${url})`;
    fit();
  };
  history.addEventListener('change', updateHistory);
  // Back restores the choices made before leaving, after this script has run: once the page
  // shows, the preview and snippets follow them.
  addEventListener('pageshow', updateHistory);
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
