// Lint rules for the schedule report's page and its browser tests.
import js from "@eslint/js";
import globals from "globals";

export default [
  { ignores: ["build/**", "node_modules/**"] },
  js.configs.recommended,
  {
    // Modules, which the build joins into the page's one inline script.
    files: ["tools/orvik/report/**/*.js"],
    languageOptions: { sourceType: "module", globals: globals.browser },
  },
  {
    files: ["**/*.mjs", "eslint.config.js"],
    languageOptions: { sourceType: "module", globals: globals.node },
  },
];
