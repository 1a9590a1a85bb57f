// Drives the demo site's forms in Debian's headless Chromium and prints what
// the visitor sees as one JSON line: a list, one entry per submission (fill
// the fields, a menu by its value, click Send; "inline" when the form's
// script answers in place) or per fetch() run in the page at url (URL-encoded
// or, with "json", a JSON body, which a cross-origin target preflights).
//
//   node site_test.mjs '{"url": ..., "javascript": true,
//                        "submissions": [{"fields": {...}, "inline": true}],
//                        "fetches": [{"target": ..., "json": false, "fields": {...}}]}'
import { launch } from './launch.mjs';

const job = JSON.parse(process.argv[2]);

async function fill(page, fields) {
  for (const [name, value] of Object.entries(fields)) {
    const field = page.locator(`[name="${name}"]`);
    if (await field.evaluate((node) => node.tagName) === 'SELECT') {
      await field.selectOption(value);
    } else {
      await field.fill(value);
    }
  }
}

async function submit(page, submission) {
  await fill(page, submission.fields);
  if (submission.inline) {
    await page.click('button[type=submit]');
    // The script disables the button while its fetch() runs.
    await page.waitForFunction(
      () => !document.querySelector('button[type=submit]').disabled);
    return {
      url: page.url(),
      thanks: await page.locator('#thanks').isVisible(),
      outcome: await page.locator('.outcome').innerText(),
      invalid: await page.locator('[aria-invalid=true]').evaluateAll(
        (nodes) => nodes.map((node) => node.name)),
      problems: await page.locator('.problem').allInnerTexts(),
    };
  }
  const [response] = await Promise.all([
    page.waitForNavigation(),
    page.click('button[type=submit]'),
  ]);
  return {
    url: page.url(),
    status: response ? response.status() : null,
    title: await page.title(),
    text: await page.locator('body').innerText(),
  };
}

async function post_from_page(page, request) {
  return page.evaluate(async ({ target, json, fields }) => {
    const init = json
      ? { body: JSON.stringify(fields),
          headers: { Accept: 'application/json', 'Content-Type': 'application/json' } }
      : { body: new URLSearchParams(fields), headers: { Accept: 'application/json' } };
    try {
      const response = await fetch(target, { method: 'POST', ...init });
      return { status: response.status, body: await response.json() };
    } catch (error) {
      // What a page's script meets when the browser withholds the reply.
      return { error: error.name };
    }
  }, request);
}

const browser = await launch({ javaScriptEnabled: job.javascript !== false });
let failed = false;
try {
  browser.context.setDefaultTimeout(20000);
  const page = browser.context.pages()[0] ?? await browser.context.newPage();
  await page.goto(job.url);
  const results = [];
  for (const submission of job.submissions ?? []) {
    results.push(await submit(page, submission));
  }
  for (const request of job.fetches ?? []) {
    results.push(await post_from_page(page, request));
  }
  console.log(JSON.stringify(results));
} catch (error) {
  console.error(String(error && error.stack || error));
  failed = true;
} finally {
  await browser.close();
}
process.exitCode = failed ? 1 : 0;
