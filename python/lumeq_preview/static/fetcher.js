"use strict";
// Fetches frames for the page's playback off its main thread: taking in a
// body of megabytes costs the thread that fetched it, and the page's thread
// must keep the clock. The pixels move back without a copy.
const aborts = new Map();
self.onmessage = async (event) => {
  const { id, href, abort } = event.data;
  if (abort) { aborts.get(id)?.abort(); return; }
  const controller = new AbortController();
  aborts.set(id, controller);
  try {
    const response = await fetch(href, { signal: controller.signal });
    const headers = [...response.headers];
    const buffer = await response.arrayBuffer();
    self.postMessage({ id, status: response.status, headers, buffer }, [buffer]);
  } catch (error) {
    self.postMessage({ id, error: String(error.message || error) });
  } finally {
    aborts.delete(id);
  }
};
