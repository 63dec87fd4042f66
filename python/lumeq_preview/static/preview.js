"use strict";
// The page of lumeq-preview: everything it shows comes from the HTTP interface.
(() => {
  const token = new URLSearchParams(location.search).get("token") || "";
  const $ = (id) => document.getElementById(id);
  const canvas = $("canvas"), ctx = canvas.getContext("2d");
  const viewport = $("viewport");
  // The frame as received, at its own size; the canvas shows it scaled.
  const frameCanvas = document.createElement("canvas"), frameCtx = frameCanvas.getContext("2d");
  // Loopback moves raw pixels faster than PNG can be made; a tunnel wants fewer bytes.
  const local = ["127.0.0.1", "localhost", "[::1]"].includes(location.hostname);
  const transfer = new URLSearchParams(location.search).get("transfer") || (local ? "rgba" : "png");

  const state = {
    generation: 0, status: "loading", outputs: [], output: null, frame: 0,
    compare: null, audio: null, zoom: "fit", scale: 1, ox: 0, oy: 0,
    painted: null, playing: false, logSeen: 0, requests: 0,
  };
  window.preview = state;  // for tests and the curious

  function url(path, params = {}) {
    return `${path}?${new URLSearchParams({ ...params, token })}`;
  }
  async function getJSON(path, params) {
    const response = await fetch(url(path, params));
    const body = await response.json();
    if (!response.ok) throw new Error(body.error || response.statusText);
    return body;
  }
  const video = () => state.outputs.find((o) => o.index === state.output && o.type === "video");
  const videos = () => state.outputs.filter((o) => o.type === "video");

  // ------------------------------------------------------------ frames

  // One request in flight; a newer wish replaces an older one that has not
  // started, so scrubbing never queues stale frames.
  let inFlight = null, wanted = null;

  // `settled`: the user has stopped (the slider let go), so a request still
  // out for a frame passed over is abandoned rather than waited for.
  function show(n, settled = false) {
    const clip = video();
    if (!clip) return;
    const frame = Math.max(0, Math.min(n, clip.frames - 1));
    if (frame !== state.frame) state.direction = frame < state.frame ? -1 : 1;
    state.frame = frame;
    updateControls();
    wanted = { generation: state.generation, output: clip.index, frame: state.frame, compare: state.compare,
               abort: new AbortController() };
    if (settled && inFlight && inFlight.frame !== state.frame) inFlight.abort.abort();
    pump();
  }

  async function pump() {
    if (inFlight || !wanted) return;
    const job = inFlight = wanted;
    wanted = null;
    try {
      const image = await (takeAhead(job) || fetchImage(job));
      paint(image, job);
      if (!wanted && !state.playing) {
        details(job);
        fetchAhead(job);
      }
    } catch (error) {
      if (!wanted) showMessage(String(error.message || error));
    } finally {
      inFlight = null;
      pump();
    }
  }

  // Stepping is the common move: once a frame is shown, the next one in the
  // direction of travel is fetched too, so the step paints at once.
  const ahead = new Map();
  const aheadKey = (job) => `${job.generation}:${job.output}:${job.frame}:${job.compare}`;

  function takeAhead(job) {
    const key = aheadKey(job), image = ahead.get(key);
    ahead.delete(key);
    return image;
  }

  function fetchAhead(job) {
    const clip = video(), frame = job.frame + (state.direction || 1);
    if (!clip || frame < 0 || frame >= clip.frames) return;
    const next = { ...job, frame, abort: null }, key = aheadKey(next);
    if (ahead.has(key)) return;
    for (const old of [...ahead.keys()].slice(0, Math.max(0, ahead.size - 1))) ahead.delete(old);
    const image = fetchImage(next);
    image.catch(() => ahead.delete(key));
    ahead.set(key, image);
  }

  async function fetchImage(job) {
    state.requests++;
    const g = job.region, fitted = g ? { region: `${g.x},${g.y},${g.w},${g.h}`, size: `${g.ow},${g.oh}` } : {};
    const href = job.compare !== null
      ? url(`/api/diff/${job.output}/${job.compare}/${job.frame}.png`)
      : url(`/api/frame/${job.output}/${job.frame}.${transfer}`, fitted);
    const response = await (job.offThread && fetcher ? fetchOffThread(href) : fetch(href, { signal: job.abort?.signal }));
    if (!response.ok) throw new Error((await response.json()).error);
    const notes = JSON.parse(response.headers.get("X-Display-Notes") || "[]");
    const duration = seconds(response.headers.get("X-Frame-Duration"));
    const placed = response.headers.get("X-Region"), region = placed ? placed.split(",").map(Number) : null;
    const where = region && { x: region[0], y: region[1], w: region[2], h: region[3] };
    if (job.compare !== null || transfer === "png") {
      return { bitmap: await createImageBitmap(await response.blob()), notes, duration, region: where };
    }
    const width = +response.headers.get("X-Frame-Width"), height = +response.headers.get("X-Frame-Height");
    const buffer = await response.arrayBuffer();
    const pixels = transfer === "rgba" ? new ImageData(new Uint8ClampedArray(buffer), width, height)
      : planesToImage(buffer, width, height);
    return { pixels, notes, duration, region: where };
  }

  // Playback's frames come through a worker (see fetcher.js); a page that
  // cannot start one fetches them itself.
  let fetcher = null, fetches = 0;
  const fetching = new Map();
  const received = ({ data }) => {
    const done = fetching.get(data.id);
    fetching.delete(data.id);
    if (data.error !== undefined) { done.reject(new Error(data.error)); return; }
    const buffer = data.buffer, body = () => new TextDecoder().decode(buffer);
    done.resolve({ ok: data.status >= 200 && data.status < 300, status: data.status, headers: new Headers(data.headers),
                   arrayBuffer: async () => buffer, blob: async () => new Blob([buffer]), json: async () => JSON.parse(body()) });
  };
  try {
    fetcher = new Worker(url("static/fetcher.js"));
    fetcher.onmessage = received;
  } catch { fetcher = null; }

  function fetchOffThread(href) {
    const id = ++fetches;
    fetcher.postMessage({ id, href });
    return new Promise((resolve, reject) => fetching.set(id, { resolve, reject }));
  }

  // What the window shows of the frame, at the size it is shown when that
  // is smaller: playback asks for just that, so it moves no more pixels
  // than are seen (null: the whole frame as it is).
  function shownGeometry(clip) {
    const ratio = devicePixelRatio || 1, s = state.scale;
    const vw = viewport.clientWidth * ratio, vh = viewport.clientHeight * ratio;
    const x0 = Math.max(0, Math.floor(-state.ox / s)), y0 = Math.max(0, Math.floor(-state.oy / s));
    const x1 = Math.min(clip.width, Math.ceil((vw - state.ox) / s));
    const y1 = Math.min(clip.height, Math.ceil((vh - state.oy) / s));
    if (x1 <= x0 || y1 <= y0) return { x: 0, y: 0, w: 1, h: 1, ow: 1, oh: 1 };  // panned out of sight
    const w = x1 - x0, h = y1 - y0;
    const ow = s < 1 ? Math.max(1, Math.round(w * s)) : w, oh = s < 1 ? Math.max(1, Math.round(h * s)) : h;
    if (w === clip.width && h === clip.height && ow === w && oh === h) return null;
    return { x: x0, y: y0, w, h, ow, oh };
  }

  // "num/den" seconds, or null.
  function seconds(text) {
    if (!text) return null;
    const [num, den] = text.split("/").map(Number);
    return num > 0 && den > 0 ? num / den : null;
  }

  function planesToImage(buffer, width, height) {
    const size = width * height;
    const r = new Uint8Array(buffer, 0, size), g = new Uint8Array(buffer, size, size), b = new Uint8Array(buffer, 2 * size, size);
    const out = new Uint32Array(size);  // little-endian RGBA words
    for (let i = 0; i < size; i++) out[i] = 0xff000000 | (b[i] << 16) | (g[i] << 8) | r[i];
    return new ImageData(new Uint8ClampedArray(out.buffer), width, height);
  }

  function paint(image, job) {
    const width = image.pixels ? image.pixels.width : image.bitmap.width;
    const height = image.pixels ? image.pixels.height : image.bitmap.height;
    // A part of the frame (playback) is placed where it belongs in the whole.
    const full = image.region ? { width: video().width, height: video().height } : { width, height };
    const resized = full.width !== state.full?.width || full.height !== state.full?.height;
    state.full = full;
    state.region = image.region || { x: 0, y: 0, w: width, h: height };
    if (resized || state.zoom === "fit") setZoom(state.zoom, false);
    state.direct = atDeviceSize(image) ? image.pixels : null;
    if (!state.direct) {
      if (frameCanvas.width !== width || frameCanvas.height !== height) { frameCanvas.width = width; frameCanvas.height = height; }
      if (image.pixels) frameCtx.putImageData(image.pixels, 0, 0);
      else { frameCtx.clearRect(0, 0, width, height); frameCtx.drawImage(image.bitmap, 0, 0); image.bitmap.close(); }
    }
    hideMessage();
    draw();
    state.painted = { ...job, at: performance.now() };
    document.body.dataset.painted = `${job.generation}:${job.output}:${job.frame}:${job.compare ?? ""}`;
    const notes = JSON.stringify(image.notes);
    if (notes !== state.notes) $("notes").replaceChildren(...image.notes.map((text) => el("li", text)));
    state.notes = notes;
  }

  // A part already scaled to the window's pixels goes straight onto the
  // canvas: one copy a frame, which is what playback can afford.
  function atDeviceSize(image) {
    const r = image.region;
    return Boolean(image.pixels && r && Math.abs(image.pixels.width - r.w * state.scale) < 1
                   && Math.abs(image.pixels.height - r.h * state.scale) < 1);
  }

  function draw() {
    const ratio = devicePixelRatio || 1;
    const width = Math.round(viewport.clientWidth * ratio), height = Math.round(viewport.clientHeight * ratio);
    if (canvas.width !== width || canvas.height !== height) { canvas.width = width; canvas.height = height; }
    ctx.setTransform(1, 0, 0, 1, 0, 0);
    ctx.clearRect(0, 0, width, height);
    ctx.imageSmoothingEnabled = false;  // zoomed pixels stay square
    const r = state.region || { x: 0, y: 0, w: frameCanvas.width, h: frameCanvas.height };
    if (state.direct) {
      ctx.putImageData(state.direct, Math.round(state.ox + r.x * state.scale), Math.round(state.oy + r.y * state.scale));
      return;
    }
    ctx.setTransform(state.scale * r.w / frameCanvas.width, 0, 0, state.scale * r.h / frameCanvas.height,
                     state.ox + r.x * state.scale, state.oy + r.y * state.scale);
    ctx.drawImage(frameCanvas, 0, 0);
  }

  // Properties and the time follow the frame once scrubbing settles.
  async function details(job) {
    const clip = video();
    if (!clip) return;
    try {
      const props = await getJSON(`/api/props/${job.output}/${job.frame}`);
      $("props").replaceChildren(...Object.keys(props).sort().map((key) =>
        el("tr", el("td", key), el("td", typeof props[key] === "string" ? props[key] : JSON.stringify(props[key])))));
      if (clip.fps[0] === 0) $("time").textContent = clock((await getJSON(`/api/time/${job.output}/${job.frame}`)).seconds);
      if (job.compare !== null) {
        const stats = await getJSON(`/api/diff/${job.output}/${job.compare}/${job.frame}`);
        $("compare-stats").textContent = stats.identical ? "identical"
          : `PSNR ${stats.psnr.toFixed(2)} dB, largest difference ${+stats.max_difference.toFixed(4)} (shown ×${stats.amplification})`;
      }
    } catch (error) {
      if (job.compare !== null) $("compare-stats").textContent = error.message;
    }
  }

  // ------------------------------------------------------------ zoom and pan

  function setZoom(zoom, redraw = true) {
    state.zoom = zoom;
    const ratio = devicePixelRatio || 1;
    const vw = viewport.clientWidth * ratio, vh = viewport.clientHeight * ratio;
    const fw = state.full?.width || 1, fh = state.full?.height || 1;
    state.scale = zoom === "fit" ? Math.min(vw / fw, vh / fh) : zoom;
    state.ox = Math.round((vw - fw * state.scale) / 2);
    state.oy = Math.round((vh - fh * state.scale) / 2);
    $("zoom-level").textContent = `${Math.round(state.scale * 100)}%`;
    if (redraw) draw();
  }

  function zoomAt(factor, x, y) {
    const scale = Math.max(0.05, Math.min(64, state.scale * factor));
    state.ox = x - (x - state.ox) * (scale / state.scale);
    state.oy = y - (y - state.oy) * (scale / state.scale);
    state.scale = scale;
    state.zoom = scale;
    $("zoom-level").textContent = `${Math.round(scale * 100)}%`;
    draw();
  }

  function devicePoint(event) {
    const box = canvas.getBoundingClientRect(), ratio = devicePixelRatio || 1;
    return [(event.clientX - box.left) * ratio, (event.clientY - box.top) * ratio];
  }

  viewport.addEventListener("wheel", (event) => {
    event.preventDefault();
    const [x, y] = devicePoint(event);
    zoomAt(Math.pow(1.0015, -event.deltaY), x, y);
  }, { passive: false });

  let drag = null;
  viewport.addEventListener("pointerdown", (event) => {
    drag = { x: event.clientX, y: event.clientY, ox: state.ox, oy: state.oy };
    viewport.setPointerCapture(event.pointerId);
    viewport.classList.add("dragging");
  });
  viewport.addEventListener("pointerup", () => { drag = null; viewport.classList.remove("dragging"); });
  viewport.addEventListener("pointermove", (event) => {
    if (drag) {
      const ratio = devicePixelRatio || 1;
      state.ox = drag.ox + (event.clientX - drag.x) * ratio;
      state.oy = drag.oy + (event.clientY - drag.y) * ratio;
      draw();
      return;
    }
    const [x, y] = devicePoint(event);
    pick(Math.floor((x - state.ox) / state.scale), Math.floor((y - state.oy) / state.scale));
  });

  // ------------------------------------------------------------ pixel picker

  let picking = false, pickWanted = null;
  async function pick(x, y) {
    const clip = video();
    if (!clip || x < 0 || y < 0 || x >= clip.width || y >= clip.height) return;
    pickWanted = { x, y };
    if (picking) return;
    picking = true;
    try {
      while (pickWanted) {
        const at = pickWanted;
        pickWanted = null;
        const shown = shownPixel(at.x, at.y);
        const result = await getJSON(`/api/pixel/${clip.index}/${state.frame}`, at);
        const values = result.values.map((v) => Number.isInteger(v) ? v : v.toPrecision(6));
        const planes = clip.format.startsWith("YUV") ? ["Y", "U", "V"] : clip.format.startsWith("RGB") ? ["R", "G", "B"] : ["Y"];
        $("pixel").textContent = `x ${result.x}, y ${result.y}\n` +
          values.map((v, i) => `${planes[i] || i}=${v}`).join("  ") +
          `\ndisplay RGB ${shown[0]}, ${shown[1]}, ${shown[2]}`;
      }
    } catch (error) {
      $("pixel").textContent = error.message;
    } finally {
      picking = false;
    }
  }

  // The display RGB at a frame position, from wherever the painted pixels are.
  function shownPixel(x, y) {
    const r = state.region;
    if (state.direct) {
      return ctx.getImageData(Math.floor(state.ox + x * state.scale), Math.floor(state.oy + y * state.scale), 1, 1).data;
    }
    return frameCtx.getImageData(Math.floor((x - r.x) * frameCanvas.width / r.w),
                                 Math.floor((y - r.y) * frameCanvas.height / r.h), 1, 1).data;
  }

  // ------------------------------------------------------------ playback

  // Video follows a clock (the audio's when audio plays); frames that are not
  // ready in time are skipped, never waited for.
  const PREFETCH = 3;
  // How many frames past the next due one may be asked for: enough to ride
  // out a slow frame, few enough that fetching keeps the clip's pace rather
  // than racing ahead (and holding every frame it raced to).
  const AHEAD = 6;
  let play = null;

  function togglePlay() { state.playing ? stopPlay() : startPlay(); }

  function startPlay() {
    const clip = video();
    if (!clip || state.compare !== null) return;
    if (state.frame >= clip.frames - 1) state.frame = 0;
    // A variable rate plays by the frames' own durations, learnt as they
    // arrive; 24 fps only guides how far ahead to ask.
    const vfr = clip.fps[0] === 0;
    const fps = vfr ? 24 : clip.fps[0] / clip.fps[1];
    state.playing = true;
    $("play").textContent = "❚❚";
    const p = play = { clip, fps, vfr, start: state.frame, t0: performance.now() / 1000, frames: new Map(), painted: 0,
             dropped: 0, shown: [], generation: state.generation, audio: null, latency: 0.05,
             next: vfr ? state.frame : state.frame + 1,  // the shown frame's duration places the next
             starts: new Map([[state.frame, 0]]), known: state.frame, due: state.frame, origin: state.frame / fps };
    if (vfr) {
      getJSON(`/api/time/${clip.index}/${state.frame}`).then((r) => {
        if (play !== p) return;
        p.origin = r.seconds;
        p.t0 = performance.now() / 1000;
        p.audio = startAudio(p);
      }, () => {});
    } else {
      p.audio = startAudio(p);
      // Without sound to follow, the clock starts once the first frame is
      // in, as a player prerolls, rather than counting the first fetches as late.
      p.preroll = !p.audio;
    }
    requestAnimationFrame(tick);
  }

  function stopPlay() {
    if (!play) return;
    state.lastPlay = { painted: play.painted, dropped: play.dropped, first: play.start, last: play.lastPainted,
                       seconds: ((play.lastAt ?? 0) - (play.firstAt ?? 0)) / 1000 };
    state.playing = false;
    $("play").textContent = "▶";
    if (play.audio) play.audio.stop();
    play = null;
    show(state.frame);
  }

  function elapsed(p) {
    if (p.audio && !p.audio.failed) return p.audio.started ? Math.max(0, p.audio.elapsed()) : 0;
    return performance.now() / 1000 - p.t0;
  }

  // Without sound (no device, a decoding error) the video keeps its own clock from where it is.
  function audioFailed(p) {
    if (!p.audio || p.audio.failed) return;
    p.audio.failed = true;
    p.t0 = performance.now() / 1000 - (p.vfr ? p.starts.get(state.frame) ?? 0 : (state.frame - p.start) / p.fps);
  }

  function tick() {
    const p = play;
    if (!p || play !== p) return;
    if (p.preroll) {
      const first = p.frames.get(p.start + 1);
      if (p.start + 1 < p.clip.frames && !first?.done) {
        prefetch(p, p.start);
        requestAnimationFrame(tick);
        return;
      }
      p.preroll = false;
      p.t0 = performance.now() / 1000 - 1 / p.fps;
    }
    const target = p.vfr ? variableDue(p, elapsed(p)) : p.start + Math.floor(elapsed(p) * p.fps);
    if (target >= p.clip.frames || p.generation !== state.generation) { stopPlay(); return; }
    // The newest frame due that has arrived; older ones are dropped.
    let best = -1;
    for (const [n, entry] of p.frames) {
      if (n <= target && entry.image && n > best) best = n;
    }
    if (best > state.painted?.frame || (best >= 0 && state.painted?.output !== p.clip.index)) {
      const entry = p.frames.get(best);
      paint(entry.image, { generation: p.generation, output: p.clip.index, frame: best, compare: null });
      p.dropped += Math.max(0, best - (p.lastPainted ?? best - 1) - 1);
      p.lastPainted = best;
      p.painted++;
      state.frame = best;
      updateControls();
      const now = performance.now();
      p.firstAt ??= now;
      p.lastAt = now;
      p.shown.push(now);
      while (p.shown.length && p.shown[0] < now - 1000) p.shown.shift();
      $("fps").textContent = `${p.shown.length} fps, ${p.dropped} dropped`;
      if (p.vfr) $("time").textContent = clock(p.origin + p.starts.get(best));
    }
    for (const [n, entry] of [...p.frames]) {
      if (n < target && n !== best && entry.done && (!p.vfr || n < p.known)) p.frames.delete(n);
    }
    prefetch(p, target);
    requestAnimationFrame(tick);
  }

  // The frame due at `t` seconds into a variable-rate playback: the start
  // times are summed from the durations of the frames arrived in order.
  // A frame not arrived has no known end, so the playback waits for it
  // rather than skipping it.
  function variableDue(p, t) {
    for (let entry; (entry = p.frames.get(p.known)) && entry.image && entry.image.duration !== null;) {
      p.starts.set(p.known + 1, p.starts.get(p.known) + entry.image.duration);
      p.known++;
    }
    while (p.due < p.known && p.starts.get(p.due + 1) <= t) p.due++;
    return p.due;
  }

  // Asks for the frames that will be due when they arrive, judged by how
  // long frames have been taking, with a few requests in flight. A variable
  // rate asks for every frame: each one's duration places the next.
  function prefetch(p, target) {
    let pending = 0;
    for (const entry of p.frames.values()) if (!entry.done) pending++;
    const lead = p.preroll ? 0 : Math.ceil(p.latency * p.fps);
    let n = p.vfr ? p.next : Math.max(target + lead, p.next);
    for (; pending < PREFETCH && n < p.clip.frames && n <= target + lead + AHEAD; n++, pending++) {
      const entry = { done: false }, asked = performance.now();
      p.frames.set(n, entry);
      fetchImage({ output: p.clip.index, frame: n, compare: null, region: shownGeometry(p.clip), offThread: true }).then((image) => {
        entry.image = image;
        p.latency = 0.7 * p.latency + 0.3 * (performance.now() - asked) / 1000;
      }, () => {}).finally(() => { entry.done = true; });
    }
    p.next = n;
  }

  // Audio in chunks, decoded by the browser and queued on its clock.
  const AUDIO_CHUNK = 2;
  function startAudio(p) {
    const output = state.outputs.find((o) => o.index === state.audio && o.type === "audio");
    if (!output || !window.AudioContext) return null;
    const context = new AudioContext();
    const origin = p.origin;
    const audio = { started: false, failed: false, context, sources: [], stopped: false, at0: 0,
      elapsed: () => context.currentTime - audio.at0,
      stop() { audio.stopped = true; audio.sources.forEach((s) => s.stop()); context.close(); } };
    let next = Math.round(origin * output.sample_rate), when = 0;
    const feed = async () => {
      while (!audio.stopped && next < output.samples) {
        if (audio.started && when - context.currentTime > AUDIO_CHUNK) { await sleep(250); continue; }
        const end = Math.min(output.samples, next + AUDIO_CHUNK * output.sample_rate);
        const response = await fetch(url(`/api/audio/${output.index}.wav`, { start: next, end }));
        const buffer = await context.decodeAudioData(await response.arrayBuffer());
        if (audio.stopped) return;
        const source = context.createBufferSource();
        source.buffer = buffer;
        source.connect(context.destination);
        if (!audio.started) {
          when = context.currentTime + 0.05;
          // The video clock restarts from the audio's first sample.
          audio.at0 = when;
          audio.started = true;
        }
        source.start(when);
        audio.sources.push(source);
        when += buffer.duration;
        next = end;
      }
    };
    feed().catch(() => audioFailed(p));
    setTimeout(() => { if (context.state !== "running" && !audio.stopped) audioFailed(p); }, 1500);
    return audio;
  }

  const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

  // ------------------------------------------------------------ outputs, status, reload

  function el(tag, ...children) {
    const node = document.createElement(tag);
    for (const child of children) node.append(child);
    return node;
  }

  function describe(o) {
    if (o.type === "audio") return `${o.sample_rate} Hz, ${o.channels} ch, ${o.samples} samples`;
    const rate = o.fps[0] > 0 ? `${+(o.fps[0] / o.fps[1]).toFixed(3)} fps` : "variable";
    return `${o.width}×${o.height} ${o.format}, ${rate}, ${o.frames} frames`;
  }

  function renderTabs() {
    $("tabs").replaceChildren(...state.outputs.map((o) => {
      const tab = el("button", `${o.index}: ${o.type}`, el("small", describe(o)));
      tab.dataset.output = o.index;
      tab.className = o.index === state.output ? "active" : "";
      tab.disabled = o.type !== "video";
      tab.addEventListener("click", () => selectOutput(o.index));
      return tab;
    }));
    const options = (select, list, current) => {
      select.replaceChildren(el("option", select.id === "compare" ? "off" : "none"),
        ...list.map((o) => { const opt = el("option", `output ${o.index}`); opt.value = o.index; return opt; }));
      select.firstChild.value = "";
      select.value = current === null ? "" : String(current);
    };
    options($("compare"), videos().filter((o) => o.index !== state.output), state.compare);
    options($("audio"), state.outputs.filter((o) => o.type === "audio"), state.audio);
  }

  function selectOutput(index) {
    if (!state.outputs.some((o) => o.index === index && o.type === "video")) return;
    const playing = state.playing;
    if (playing) stopPlay();
    state.output = index;
    if (state.compare === index) state.compare = null;
    renderTabs();
    show(state.frame);
    if (playing) startPlay();
  }

  async function refreshOutputs() {
    state.outputs = await getJSON("/api/outputs");
    const first = videos()[0];
    if (!video()) state.output = first ? first.index : null;
    if (state.compare !== null && !videos().some((o) => o.index === state.compare)) state.compare = null;
    const audios = state.outputs.filter((o) => o.type === "audio");
    if (state.audio === null || !audios.some((o) => o.index === state.audio)) state.audio = audios.length ? audios[0].index : null;
    renderTabs();
    if (video()) show(state.frame);
    else if (state.status === "ok") showMessage("the script registered no video output");
  }

  async function poll() {
    try {
      const status = await getJSON("/api/status");
      showLog(status.log);
      if (status.generation !== state.generation) {
        state.generation = status.generation;
        state.status = status.state;
        $("state").textContent = `${status.state === "ok" ? "loaded" : "error"} (load ${status.generation})`;
        $("state").className = `state ${status.state}`;
        await refreshOutputs();
        if (status.state === "error") showMessage(status.error);
      }
    } catch (error) {
      $("state").textContent = "server unreachable";
      $("state").className = "state error";
    }
    setTimeout(poll, state.playing ? 1000 : 300);
  }

  function showLog(records) {
    const fresh = records.filter((r) => r.id > state.logSeen);
    if (!fresh.length) return;
    state.logSeen = fresh[fresh.length - 1].id;
    const list = $("log");
    for (const r of fresh) {
      const item = el("li", `load ${r.generation}: ${r.message}`);
      item.className = r.level.toLowerCase();
      list.prepend(item);
    }
    while (list.children.length > 100) list.lastChild.remove();
  }

  function showMessage(text) {
    const box = $("message");
    box.textContent = text;
    box.hidden = false;
    document.body.dataset.message = text;
  }
  function hideMessage() { $("message").hidden = true; delete document.body.dataset.message; }

  // ------------------------------------------------------------ controls

  function clock(seconds) {
    const ms = Math.round(seconds * 1000);
    const h = Math.floor(ms / 3600000), m = Math.floor(ms / 60000) % 60, s = Math.floor(ms / 1000) % 60;
    return `${h}:${String(m).padStart(2, "0")}:${String(s).padStart(2, "0")}.${String(ms % 1000).padStart(3, "0")}`;
  }

  function updateControls() {
    const clip = video();
    if (!clip) return;
    $("slider").max = clip.frames - 1;
    $("slider").value = state.frame;
    if (document.activeElement !== $("frame")) $("frame").value = state.frame;
    $("frame").max = clip.frames - 1;
    if (clip.fps[0] > 0) $("time").textContent = clock(state.frame * clip.fps[1] / clip.fps[0]);
    const save = state.compare !== null
      ? url(`/api/diff/${clip.index}/${state.compare}/${state.frame}.png`)
      : url(`/api/frame/${clip.index}/${state.frame}.png`, { level: 6 });
    $("save").href = save;
    $("save").download = `output${clip.index}-frame${state.frame}${state.compare !== null ? "-diff" : ""}.png`;
    if ($("bench-start").value === "") { $("bench-start").value = 0; $("bench-end").value = clip.frames - 1; }
  }

  $("slider").addEventListener("input", () => show(+$("slider").value));
  $("slider").addEventListener("change", () => show(+$("slider").value, true));
  $("frame").addEventListener("change", () => show(+$("frame").value));
  $("play").addEventListener("click", togglePlay);
  $("compare").addEventListener("change", () => {
    state.compare = $("compare").value === "" ? null : +$("compare").value;
    $("compare-stats").textContent = "";
    if (state.playing) stopPlay();
    show(state.frame);
  });
  $("audio").addEventListener("change", () => { state.audio = $("audio").value === "" ? null : +$("audio").value; });
  for (const button of document.querySelectorAll("[data-zoom]")) {
    button.addEventListener("click", () => setZoom(button.dataset.zoom === "fit" ? "fit" : +button.dataset.zoom));
  }
  $("copy").addEventListener("click", async () => {
    try { await navigator.clipboard.writeText(String(state.frame)); $("copy").textContent = "copied"; }
    catch { $("copy").textContent = `frame ${state.frame}`; }
    setTimeout(() => { $("copy").textContent = "copy frame number"; }, 1200);
  });
  $("bench-run").addEventListener("click", async () => {
    const clip = video();
    if (!clip) return;
    $("bench-result").textContent = "rendering…";
    try {
      const r = await getJSON(`/api/bench/${clip.index}`, { start: $("bench-start").value, end: $("bench-end").value });
      $("bench-result").textContent = `${r.frames} frames in ${r.seconds.toFixed(3)} s: ${r.fps.toFixed(1)} fps`;
    } catch (error) {
      $("bench-result").textContent = error.message;
    }
  });

  document.addEventListener("keydown", (event) => {
    if (event.target instanceof HTMLInputElement || event.target instanceof HTMLSelectElement) return;
    const clip = video();
    const step = event.shiftKey ? 10 : 1;
    if (/^[0-9]$/.test(event.key)) selectOutput(+event.key);
    else if (!clip) return;
    else if (event.key === "ArrowRight") show(state.frame + step);
    else if (event.key === "ArrowLeft") show(state.frame - step);
    else if (event.key === "Home") show(0);
    else if (event.key === "End") show(clip.frames - 1);
    else if (event.key === " ") togglePlay();
    else if (event.key === "f") setZoom("fit");
    else return;
    event.preventDefault();
  });
  new ResizeObserver(() => (state.zoom === "fit" ? setZoom("fit") : draw())).observe(viewport);

  poll();
})();
