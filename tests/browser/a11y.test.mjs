import assert from 'node:assert/strict';
import { createRequire } from 'node:module';
import { after, before, test } from 'node:test';
import { launch, openReport } from './harness.mjs';

// The page is offline: axe comes from node_modules, injected as a file.
const AXE = createRequire(import.meta.url).resolve('axe-core/axe.min.js');

let browser;
before(async () => {
  browser = await launch();
});
after(async () => {
  await browser?.close();
});

// Serious and critical findings, each as "rule: selectors".
async function seriousViolations(page) {
  await page.addScriptTag({ path: AXE });
  const violations = await page.evaluate(async () => (await window.axe.run(document)).violations);
  return violations
    .filter((v) => v.impact === 'serious' || v.impact === 'critical')
    .map((v) => `${v.id}: ${v.nodes.map((n) => n.target.join(' ')).join(', ')}`);
}

for (const scheme of ['light', 'dark']) {
  test(`${scheme} scheme: no serious accessibility violation, before and after a selection`, async () => {
    const report = await openReport(browser.context, 'basic.html', { colorScheme: scheme });
    const { page } = report;
    assert.deepEqual(await seriousViolations(page), [], 'on load');
    await page.click('.node-box[data-name="report"]');
    assert.deepEqual(await seriousViolations(page), [], 'with a model selected');
    await page.fill('#search', 'o');
    assert.deepEqual(await seriousViolations(page), [], 'while searching');
    assert.deepEqual(report.trouble(), { requests: [], errors: [] });
    await page.close();
  });
}
