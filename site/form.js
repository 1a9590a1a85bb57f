// Sends a form marked data-inline with fetch() and shows the outcome on the
// same page. Without this script (or without JavaScript) the form posts as
// any form does and the gateway answers with a page: the form keeps its
// action and method, and the script only takes over the submit.
//
// The gateway answers in JSON only when asked: fetch() sends "Accept: */*",
// which gets the HTML page, so the request names application/json.
'use strict';

for (const form of document.querySelectorAll('form[data-inline]')) {
  form.addEventListener('submit', (event) => {
    event.preventDefault();
    send(form);
  });
}

async function send(form) {
  const button = form.querySelector('button[type=submit]');
  const status = form.querySelector('.outcome');
  clear_marks(form);
  button.disabled = true;
  status.textContent = 'Sending\u2026';
  let reply;
  try {
    const response = await fetch(form.action, {
      method: 'POST',
      // URL-encoded, as the browser posts the form itself. FormData takes
      // every field inside the form, the hidden one a CAPTCHA widget fills
      // too.
      body: new URLSearchParams(new FormData(form)),
      headers: { Accept: 'application/json' },
    });
    // An ini without json_replies answers with a page, which is no JSON.
    reply = await response.json().catch(() => ({
      ok: false, error: 'The answer to the form could not be read.' }));
  } catch (error) {
    reply = { ok: false,
              error: 'The form could not be sent; please check your connection and try again.' };
  }
  button.disabled = false;
  if (reply.ok) {
    form.hidden = true;
    document.getElementById(form.dataset.inline).hidden = false;
    return;
  }
  status.textContent = reply.error;
  // A CAPTCHA token is good for one check: the next try needs a fresh one.
  for (const widget of [window.turnstile, window.hcaptcha, window.grecaptcha]) {
    if (widget && typeof widget.reset === 'function') widget.reset();
  }
  for (const [name, reason] of Object.entries(reply.fields || {})) {
    // A group of radio buttons has no one element to mark.
    const field = form.elements.namedItem(name);
    if (!(field instanceof Element)) continue;
    field.setAttribute('aria-invalid', 'true');
    const note = document.createElement('span');
    note.className = 'problem';
    note.textContent = reason;
    field.after(note);
  }
}

function clear_marks(form) {
  for (const note of form.querySelectorAll('.problem')) note.remove();
  for (const field of form.querySelectorAll('[aria-invalid]')) {
    field.removeAttribute('aria-invalid');
  }
}
