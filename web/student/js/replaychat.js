// What the replay page reads from its address and its chat, kept apart from the page for tests.

// The video's and the chat's addresses from the page's query (?live=&u=&e=&s=); null when any is
// missing or malformed.
export function replayUrls(search) {
  const q = new URLSearchParams(search);
  const live = q.get('live');
  const u = q.get('u');
  const e = q.get('e');
  const s = q.get('s');
  if (![live, u, e].every((v) => /^[0-9]{1,18}$/.test(v || '')) || !/^[0-9a-f]{64}$/.test(s || '')) return null;
  const access = `?u=${u}&e=${e}&s=${s}`;
  return { video: `/replays/${live}/replay.webm${access}`, chat: `/replays/${live}/replay.json${access}` };
}

// The index of the line being said at ms into the class: the last one sent at or before it (-1:
// none yet). Lines are in the order they were sent.
export function lineAt(lines, ms) {
  let lo = 0;
  let hi = lines.length;
  while (lo < hi) {
    const mid = (lo + hi) >> 1;
    if (lines[mid].t <= ms) lo = mid + 1;
    else hi = mid;
  }
  return lo - 1;
}
