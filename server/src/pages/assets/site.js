// The pages' one script. Everything works without it; with it the search page answers as
// the user types, and the share page's copy button appears.
'use strict';
(() => {
  const searchBox = document.querySelector('[data-search-box]');

  // "/" goes to the search box from anywhere but a text field.
  document.addEventListener('keydown', (event) => {
    if (event.key !== '/' || event.ctrlKey || event.metaKey || event.altKey || !searchBox) return;
    const target = event.target;
    if (target.isContentEditable || /^(INPUT|TEXTAREA|SELECT)$/.test(target.tagName)) return;
    event.preventDefault();
    searchBox.focus();
    searchBox.select();
  });

  // The share page's way back leads to the last search of this tab (the service sends no
  // referrer, so the search page leaves its address behind).
  const back = document.querySelector('[data-back]');
  const rememberSearch = () => sessionStorage.setItem('lastSearch', location.pathname + location.search);
  if (back) {
    const last = sessionStorage.getItem('lastSearch');
    if (last && last.startsWith('/?')) back.href = last;
  }

  const address = document.getElementById('share-address');
  const copyButton = document.getElementById('copy-address');
  const copyNote = document.getElementById('copy-note');
  if (address && copyButton) {
    address.value = new URL(address.value, location.href).href;
    copyButton.hidden = false;
    copyButton.addEventListener('click', async () => {
      try {
        await navigator.clipboard.writeText(address.value);
        copyNote.textContent = '地址已复制。';
      } catch {
        address.select();
        copyNote.textContent = '无法自动复制：地址已选中，请按 Ctrl+C。';
      }
    });
  }

  const form = document.querySelector('form.search');
  const results = document.getElementById('results');
  const status = document.getElementById('result-status');
  if (!form || !results || !status) return;
  rememberSearch();

  let latest = 0;  // the number of the newest request: older answers are dropped
  let running = null;
  let typing = false;  // while typing, one history entry is kept up to date
  let timer = 0;

  const formAddress = () => '/?' + new URLSearchParams(new FormData(form)).toString();

  // The form as the address says, after Back or Forward or a link.
  const fillForm = (url) => {
    const params = new URL(url, location.href).searchParams;
    searchBox.value = params.get('key') || '';
    const type = params.get('in') || '';
    for (const radio of form.elements.in) radio.checked = radio.value === type;
    form.elements.desc.value = params.get('desc') === 't' ? 't' : 'f';
  };

  const show = async (url, how, focusResults) => {
    const number = ++latest;
    if (running) running.abort();
    running = new AbortController();
    results.setAttribute('aria-busy', 'true');
    try {
      const answer = await fetch(url, {signal: running.signal, headers: {Accept: 'text/html'}});
      const page = new DOMParser().parseFromString(await answer.text(), 'text/html');
      if (number !== latest) return;
      const fresh = page.getElementById('results');
      const freshStatus = page.getElementById('result-status');
      if (!fresh || !freshStatus) throw new Error('not a search page');
      results.replaceChildren(...fresh.childNodes);
      status.textContent = freshStatus.textContent;
      document.title = page.title;
      if (how === 'push' && url !== location.pathname + location.search) history.pushState(null, '', url);
      else if (how === 'replace') history.replaceState(null, '', url);
      rememberSearch();
      if (focusResults) document.getElementById('main').focus();
    } catch (error) {
      if (error.name === 'AbortError') return;
      if (number === latest) location.assign(url);  // let the browser load the page itself
    } finally {
      if (number === latest) results.removeAttribute('aria-busy');
    }
  };

  searchBox.addEventListener('input', () => {
    clearTimeout(timer);
    timer = setTimeout(() => {
      show(formAddress(), typing ? 'replace' : 'push', false);
      typing = true;
    }, 250);
  });
  searchBox.addEventListener('blur', () => { typing = false; });
  form.addEventListener('change', (event) => {
    if (event.target === searchBox) return;
    typing = false;
    show(formAddress(), 'push', false);
  });
  form.addEventListener('submit', (event) => {
    event.preventDefault();
    clearTimeout(timer);
    typing = false;
    show(formAddress(), 'push', false);
  });
  results.addEventListener('click', (event) => {
    const link = event.target.closest('a[data-nav]');
    if (!link || event.ctrlKey || event.metaKey || event.shiftKey || event.button !== 0) return;
    event.preventDefault();
    typing = false;
    const url = link.getAttribute('href');
    fillForm(url);
    show(url, 'push', true);
  });
  window.addEventListener('popstate', () => {
    clearTimeout(timer);
    typing = false;
    fillForm(location.href);
    show(location.pathname + location.search, 'none', false);
  });
})();
