// The console's value forms without a browser: what a typed text becomes in
// a write, how values and change times are shown, and how array changes
// merge (tools/rozweb/web/src/format.js).
import { test } from 'node:test';
import assert from 'node:assert/strict';
import { formatTime, formatValue, inputText, mergeChange, parseInput, toJsonText } from '../../../tools/rozweb/web/src/format.js';

test('typed texts become the JSON of the node type, or a message', () => {
  assert.equal(parseInput('yes', 'Bool', false), 'true');
  assert.equal(parseInput(' 0 ', 'Bool', false), 'false');
  assert.throws(() => parseInput('maybe', 'Bool', false), /not a Bool/);
  // Integers keep every digit (64-bit values beyond 2^53) and lose leading zeros.
  assert.equal(parseInput('18446744073709551615', 'ULongLong', false), '18446744073709551615');
  assert.equal(parseInput('-007', 'Long', false), '-7');
  assert.throws(() => parseInput('1.5', 'Long', false), /not an integer/);
  assert.throws(() => parseInput('0x10', 'ULong', false), /not an integer/);
  assert.equal(parseInput('2.5e3', 'Double', false), '2.5e3');
  assert.equal(parseInput('.5', 'Float', false), '0.5');
  assert.throws(() => parseInput('abc', 'Double', false), /not a number/);
  assert.throws(() => parseInput('', 'Double', false), /not a number/);
  // Text is sent as typed, quotes and all; enumeration values are text too.
  assert.equal(parseInput(' a "b" ', 'String', false), '" a \\"b\\" "');
  assert.equal(parseInput('turbo', 'Enumeration', false), '"turbo"');
});

test('arrays are typed as JSON or as values separated by commas', () => {
  assert.equal(parseInput('1, 2,3', 'Long', true), '[1,2,3]');
  assert.equal(parseInput('[1,2,3]', 'Long', true), '[1,2,3]');
  assert.equal(parseInput('[true, 0]', 'Bool', true), '[true,false]');
  // A comma inside a JSON string stays in its element.
  assert.equal(parseInput('["a,b", "c"]', 'String', true), '["a,b","c"]');
  assert.equal(parseInput('a, b', 'String', true), '["a"," b"]');
  assert.equal(parseInput('', 'Double', true), '[]');
  assert.throws(() => parseInput('[1,2', 'Long', true), /not a JSON array/);
  assert.throws(() => parseInput('[[1], 2]', 'Long', true), /single values/);
  assert.throws(() => parseInput('1,x', 'Long', true), /"x" is not an integer/);
});

test('values show as text; written back they read the same', () => {
  assert.equal(formatValue('<b>'), '<b>');
  assert.equal(formatValue(['a', 'b c']), '["a", "b c"]');
  assert.equal(formatValue([1, 2, 3, 4], 2), '[1, 2, … 2 more]');
  assert.equal(formatValue(null), '—');
  assert.equal(formatValue(12345678901234567891n), '12345678901234567891');
  assert.equal(toJsonText({ a: [1n, 'x', true] }), '{"a":[1,"x",true]}');
  for (const [value, type, isArray] of [[[1, 2], 'Long', true], [['a,b', 'c'], 'String', true], [2.5, 'Double', false]]) {
    assert.equal(parseInput(inputText(value), type, isArray), toJsonText(value));
  }
});

test('change times read in any unit give the same clock time', () => {
  const ms = Date.UTC(2026, 0, 2, 3, 4, 5, 678);
  const clock = formatTime(ms);
  assert.match(clock, /^\d\d:04:05\.678$/);
  assert.equal(formatTime(ms * 1e6), clock);
  assert.equal(formatTime(BigInt(ms) * 1000000n), clock);
  assert.equal(formatTime(ms * 1e3), clock);
  assert.equal(formatTime(ms / 1e3), clock);
  assert.equal(formatTime('2026-01-02T03:04:05Z'), '2026-01-02T03:04:05Z');
  assert.equal(formatTime(undefined), '');
});

test('an array change at a position goes into the known array', () => {
  assert.deepEqual(mergeChange([1, 2, 3, 4], { value: [7, 8], pos: 1 }), [1, 7, 8, 4]);
  assert.deepEqual(mergeChange([1, 2], { value: [5, 6, 7], pos: 0 }), [5, 6, 7]);
  assert.deepEqual(mergeChange(undefined, { value: [5], pos: 2 }), [5]);
  assert.equal(mergeChange(1, { value: 2 }), 2);
});
