// The update script's text as the program embeds it: it parses, it is plain
// printable ASCII with single line feeds, it uses nothing Windows PowerShell
// 5.1 lacks, and it holds the messages and results the shell and users rely on.
import assert from 'node:assert/strict';
import fs from 'node:fs';
import path from 'node:path';
import { test } from 'node:test';
import { Language, Parser } from 'web-tree-sitter';

const top = process.env.TOLVIN_SOURCE ?? path.resolve(import.meta.dirname, '../..');
const embedded = fs.readFileSync(path.join(top, 'build/host/generated/native-update.ps1'), 'latin1');

await Parser.init();
const parser = new Parser();
parser.setLanguage(await Language.load(path.join(top, 'node_modules/tree-sitter-powershell/tree-sitter-powershell.wasm')));

// What 5.1 cannot read: pipeline chains, the ternary and null operators. What
// it reads as a wildcard pattern, so that a user folder named with [ or ] fails:
// a download's -OutFile, Expand-Archive's and Start-Process's paths.
const NEWER = new Set(['pipeline_chain_tail', '&&', '||', '??', '??=', '?.', '?[', '?']);
const WILDCARD = /^(-OutFile|Expand-Archive|Start-Process)$/i;
function problems(text) {
  const found = [];
  const walk = (node) => {
    if (node.isError || node.isMissing) found.push(`error at ${node.startPosition.row + 1}`);
    if (NEWER.has(node.type)) found.push(`${node.type} at ${node.startPosition.row + 1}`);
    if (['command_name', 'command_parameter'].includes(node.type) && WILDCARD.test(node.text))
      found.push(`${node.text} at ${node.startPosition.row + 1}`);
    node.children.forEach(walk);
  };
  walk(parser.parse(text).rootNode);
  if (!/^[\x20-\x7e\n]*\n$/.test(text)) found.push('a byte that is not printable ASCII or a line feed');
  return found;
}

test('the embedded script parses and uses only what Windows PowerShell 5.1 has', () => {
  assert.deepEqual(problems(embedded), []);
});

test('the checks find what 5.1 lacks', () => {
  const cases = ['a && b\n', 'a || b\n', '$a = $b ?? 1\n', '$a = $b ? 1 : 2\n', '$a = $b?.c\n', '$a = 1\r\n', '$a = "\u00e9"\n', '$a = 1',
    'Invoke-WebRequest -Uri $u -OutFile $f\n', 'Expand-Archive -LiteralPath $z -DestinationPath $d\n', 'Start-Process $exe\n'];
  for (const text of cases) assert.notDeepEqual(problems(text), [], JSON.stringify(text));
});

test('the script holds its messages and its three results', () => {
  for (const text of [
    "'unexpected address '", "'checksum mismatch'", "'nothing to install'", "'unsafe archive entry '",
    "'usage: check <current> <app-folder> <stage> | install <app-folder> <pid> <stage>'",
    "'ready ' + $version", "'manual ' + $version", "return 'none'",
  ]) assert.ok(embedded.includes(text), text);
});
