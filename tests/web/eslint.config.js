// The static check of the students' page and of its browser tests (tst_web_lint): names used but
// never declared, declared but never used, and the like, found in seconds rather than by a browser.
import js from '@eslint/js';
import globals from 'globals';
import { fileURLToPath } from 'node:url';

// Patterns are from the top of the repository, where the page's sources are; absolute, so they
// hold whichever directory ESLint runs in (a pattern that misses leaves a file with no rules).
const top = fileURLToPath(new URL('../..', import.meta.url));

const pick = (from, names) => Object.fromEntries(names.map((n) => [n, from[n]]));

export default [
  { basePath: top, ignores: ['tests/web/node_modules/**'] },
  {
    basePath: top,
    files: ['web/student/js/**/*.js', 'tests/web/**/*.js', 'tests/web/**/*.mjs', 'bench/*.mjs'],
    ...js.configs.recommended,
    linterOptions: { reportUnusedDisableDirectives: 'error' },
    rules: {
      ...js.configs.recommended.rules,
      // Functions are hoisted and called from handlers written above them; a variable or class
      // read before its declaration is a fault at run time.
      'no-use-before-define': ['error', { functions: false, classes: true, variables: true }],
    },
  },
  {
    basePath: top,
    files: ['web/student/js/**/*.js'],
    languageOptions: { sourceType: 'module', globals: globals.browser },
  },
  {
    basePath: top,
    // The page's benchmarks drive it with the same harness.
    files: ['tests/web/**/*.js', 'tests/web/**/*.mjs', 'bench/*.mjs'],
    ignores: ['tests/web/lib/teacher-media.js'],
    languageOptions: {
      sourceType: 'module',
      // The callbacks given to page.evaluate(), $eval() and waitForFunction() run in the page:
      // only the few page names they use, so a slip in the Node code is still caught.
      globals: {
        ...globals.node,
        ...pick(globals.browser, ['document', 'window', 'location', 'AudioContext']),
      },
    },
  },
  {
    // Injected as a whole into a tab of the served page (janus.js and adapter.js loaded there).
    basePath: top,
    files: ['tests/web/lib/teacher-media.js'],
    languageOptions: { sourceType: 'script', globals: globals.browser },
  },
];
