"use strict";
// The page side of a player window. The runtime library drives it through `window.brimtale`
// (prepare, hold, load, start, call, unload) and hears from it through the "brimtale" message
// handler:
//   {kind: "ready", channel}                    the page can take calls; whether it has a channel
//   {kind: "fscommand", command, args}          fscommand() of the movie, where it has none
//   {kind: "trace", text}                       trace() of the movie, where it has no channel
//   {kind: "error", text}                       a failure the runtime logs
//   {kind: "failure", cause, detail}            the movie cannot be played (the runtime shows the
//                                               launcher's failure page instead of the player's own)
// The movie's commands and the calls into the movie take the page's own channel where the web
// process extension gave it one (`brimtaleChannel`): a command is sent as the movie gives it, and
// the calls its handler made are taken in a microtask, right after the movie's fscommand returns
// (the player takes no call while it runs one), and reach the movie there. The launcher runs the
// command meanwhile. Calls from outside a command arrive by themselves.
(function () {
  const channel = window.webkit.messageHandlers.brimtale;
  const send = (message) => channel.postMessage(message);
  const native = window.brimtaleChannel || null;
  const base = new URL(".", document.baseURI).href;
  let player = null;
  let failed = false;

  // A window that gets ready before it shows (while the player signs in) has the player's code
  // loaded ahead (prepare), and may have its movie loaded held: ready, running nothing until
  // start(). Ruffle compiles its code only when it builds its first instance, and an instance
  // needs a movie: an empty one (one frame, no content) serves.
  const blankMovie = new Uint8Array([0x46, 0x57, 0x53, 10, 17, 0, 0, 0, 0, 0, 24, 1, 0, 0x40, 0, 0, 0]);
  let preparing = null;  // the preparation, until it ends; a load waits for it
  let preparingElement = null;  // its player, whose panels say nothing of a movie
  // Ends the preparation when its player stops with an error: a player whose code stopped inside
  // its start (a panic) never ends its load, and the movie's load waits for the preparation.
  let endPreparing = null;
  let holdLoads = false;  // loads asked for now are held
  let held = null;  // the held movie, {loaded, startAsked}, until it starts

  // A movie the launcher fetched itself: the player's request for the movie's URL is answered
  // with those bytes, so the movie keeps its URL, its query's parameters and its base.
  let handed = null;  // {url, bytes}
  const pageFetch = window.fetch.bind(window);
  function sameUrl(a, b) {
    try {
      return new URL(a).href === new URL(b).href;
    } catch (error) {
      return false;
    }
  }
  // The address of a fetch; null for a malformed one, which the page's own fetch then refuses.
  function absoluteUrl(target) {
    try {
      return new URL(target, document.baseURI).href;
    } catch (error) {
      return null;
    }
  }

  function isPlayerCode(url) {
    return url !== null && url.startsWith(base) && url.endsWith(".wasm");
  }

  // The player's compiled code, where the view handed it over with the channel: fetched through
  // the page's scheme it comes in small pieces, and takes a good part of the player's start.
  function handedCode(url) {
    if (!native || !isPlayerCode(url)) return null;
    const bytes = native.code(url.substring(base.length));
    if (!bytes) return null;
    const response = new Response(bytes, { status: 200, statusText: "OK", headers: { "Content-Type": "application/wasm" } });
    Object.defineProperty(response, "url", { value: url });
    return response;
  }

  window.fetch = function (input, init) {
    // The player asks with a string, a URL object or a request.
    const target = typeof input === "string" ? input : input instanceof URL ? input.href : input && input.url;
    if (handed && target && sameUrl(target, handed.url)) {
      const response = new Response(handed.bytes.slice(0), {
        status: 200,
        statusText: "OK",
        headers: { "Content-Type": "application/x-shockwave-flash", "Content-Length": String(handed.bytes.byteLength) },
      });
      Object.defineProperty(response, "url", { value: handed.url });
      return Promise.resolve(response);
    }
    const url = target ? absoluteUrl(target) : null;
    if (isPlayerCode(url)) setTimeout(prepareSound, 0);
    const code = handedCode(url);
    return code ? Promise.resolve(code) : pageFetch(input, init);
  };

  // The player opens its sound right after its code is compiled, and the view readies its sound
  // system on the page's thread then: on a first start a scan of the system's media plugins, some
  // 200 ms, all of it waiting for the movie. Asked while the code compiles on the engine's own
  // thread, it is ready by then; asking what it can play readies it without opening an output.
  let soundPrepared = false;
  function prepareSound() {
    if (soundPrepared) return;
    soundPrepared = true;
    document.createElement("audio").canPlayType("audio/mpeg");
  }

  function reportFailure(cause, detail) {
    if (failed) return;
    failed = true;
    send({ kind: "failure", cause: cause, detail: String(detail || "") });
  }

  // The player's own panels (its error screen and messages, which blame causes of a browser and
  // link to its site) never show; a failure goes to the launcher's failure page instead.
  function watchPlayerPanels(element) {
    const shadow = element.shadowRoot;
    if (!shadow) return;
    const style = document.createElement("style");
    style.textContent =
      "#panic, #message-overlay, #hardware-acceleration-modal, #play-button { display: none !important; }";
    shadow.appendChild(style);
    const started = () => typeof element.readyState === "number" && element.readyState >= 2;
    new MutationObserver(() => {
      const panic = shadow.getElementById("panic");
      if (!panic) return;
      const body = shadow.getElementById("panic-body");
      if (element === preparingElement) {
        if (endPreparing) endPreparing(body ? body.textContent : "");
        return;
      }
      reportFailure(
        started()
          ? "the player stopped with an error while playing it"
          : "the player cannot play it: it is not a movie the player understands, or it is damaged",
        body ? body.textContent : "",
      );
    }).observe(shadow, { childList: true, subtree: true });
  }

  // How long one delivery of answers (each may bring on the movie's next command, whose answer is
  // then due too) runs before the page's own work (the view's messages, timers) runs in between.
  const chainBudgetMs = 8;
  // How long the movie's frames wait for answers still due. The system's own player ran a command
  // inside the movie's frame, so its answer came before the movie's next frame: frames wait for a
  // command the launcher still runs for up to a second, and for answers that have come but wait
  // their turn in the page (a chain of commands) a quarter of one. Then a frame goes through.
  const runningHoldMs = 1000;
  const queuedHoldMs = 250;

  window.RufflePlayer = window.RufflePlayer || {};
  window.RufflePlayer.config = {
    publicPath: base,
    polyfills: false,
    autoplay: "on",
    splashScreen: false,
    unmuteOverlay: "hidden",
    letterbox: "off",
    warnOnUnsupportedContent: false,
    showSwfDownload: false,
    allowScriptAccess: true,
    upgradeToHttps: false,
    allowFullscreen: false,
    logLevel: "warn",
  };

  // The runtime names a renderer where WebGL would be drawn by the CPU (no GPU): WebKit hides the
  // GL renderer's name from the page, so the page cannot tell by itself.
  const renderer = new URLSearchParams(window.location.search).get("renderer");
  if (renderer) window.RufflePlayer.config.preferredRenderer = renderer;

  function api() {
    return player && typeof player.ruffle === "function" ? player.ruffle() : player;
  }

  // Calls into the movie, in the order they came: due[dueHead] is the next.
  let due = [];
  let dueHead = 0;
  let delivering = false;  // deliver() runs
  let pending = false;     // a microtask or a task will run deliver()
  let chainStart = 0;
  const nextTask = new MessageChannel();
  nextTask.port1.onmessage = () => {
    pending = false;
    chainStart = performance.now();
    deliver();
  };

  // Takes the answers of the commands sent: false when none came in time (they then arrive by
  // themselves) or none are awaited.
  function takeAnswers() {
    if (native === null || native.unanswered() === 0) return false;
    const calls = native.take();
    for (const call of calls) due.push(call);
    return calls.length > 0 || native.unanswered() === 0;
  }

  function deliver() {
    delivering = true;
    try {
      while (dueHead < due.length || takeAnswers()) {
        if (dueHead === due.length) continue;  // an answer without calls
        if (performance.now() - chainStart >= chainBudgetMs) {
          pending = true;
          nextTask.port2.postMessage(0);
          return;
        }
        const call = due[dueHead];
        due[dueHead++] = undefined;
        window.brimtale.call(call[0], call.slice(1));
      }
      due = [];
      dueHead = 0;
    } finally {
      delivering = false;
    }
    runHeldFrames(false);
  }

  // `now`: the page runs no script of its own at the moment (the channel's listener runs from the
  // web process's loop, not inside a task of the page, so a microtask would wait for the page's
  // next task: a frame that a hidden window never runs, a timer), and the calls go in at once.
  function schedule(calls, now) {
    for (const call of calls) due.push(call);
    if (delivering || !answersDue()) return;
    if (now) {
      chainStart = performance.now();
      deliver();
      return;
    }
    if (pending) return;
    pending = true;
    queueMicrotask(() => {
      pending = false;
      chainStart = performance.now();
      deliver();
    });
  }

  // The movie's frames (the player runs them from animation frames) wait while answers are due,
  // for a while at most: then one goes through, and the next waits again. And the player runs
  // one frame at most in an animation frame, as the system's own player did: one that is behind
  // would run two in one go, and no answer can come between those. So the time it is given
  // advances by one frame of the movie's at most.
  const requestFrame = window.requestAnimationFrame.bind(window);
  const heldFrames = [];
  let holdStart = 0;
  let holdTimer = 0;
  let lastTime = null;
  let movieTime = 0;

  function movieFrameMs() {
    const metadata = player && api() ? api().metadata : null;
    return metadata && metadata.frameRate > 0 ? 1000 / metadata.frameRate : 1000 / 60;
  }

  function movieClock(time) {
    movieTime = lastTime === null ? time : movieTime + Math.max(0, Math.min(time - lastTime, movieFrameMs()));
    lastTime = time;
    return movieTime;
  }

  function answersDue() {
    return dueHead < due.length || (native !== null && native.unanswered() > 0);
  }

  // How long frames may wait from the start of the wait, for what is due now.
  function holdLimit() {
    return native !== null && native.unanswered() > 0 ? runningHoldMs : queuedHoldMs;
  }

  function endHoldInTime() {
    const left = holdStart + holdLimit() - performance.now();
    if (left > 0 && answersDue()) holdTimer = setTimeout(endHoldInTime, left);
    else runHeldFrames(true);
  }

  function runHeldFrames(always) {
    if (heldFrames.length === 0 || (!always && answersDue())) return;
    clearTimeout(holdTimer);
    holdTimer = 0;
    holdStart = 0;
    for (const frame of heldFrames.splice(0)) requestFrame((time) => frame(movieClock(time)));
  }

  function runFrame(callback, time) {
    if (!native) {
      callback(time);
      return;
    }
    if (answersDue()) {
      const now = performance.now();
      if (holdStart === 0) {
        holdStart = now;
        holdTimer = setTimeout(endHoldInTime, holdLimit());
      }
      if (now - holdStart < holdLimit()) {
        heldFrames.push(callback);
        return;
      }
    }
    callback(movieClock(time));
  }

  // The frames the player asked for that have not run. A window that has just been shown gives
  // its first animation frame a few hundred milliseconds later (its page turns visible, then its
  // compositor starts); the movie's first frame need not wait for that: a held movie's start runs
  // them at once.
  const cancelFrame = window.cancelAnimationFrame.bind(window);
  const unrunFrames = new Map();  // id: callback
  window.requestAnimationFrame = (callback) => {
    const id = requestFrame((time) => {
      if (unrunFrames.delete(id)) runFrame(callback, time);
    });
    unrunFrames.set(id, callback);
    return id;
  };
  window.cancelAnimationFrame = (id) => {
    unrunFrames.delete(id);
    cancelFrame(id);
  };

  // A player's instance that is replaced (a movie loaded into its element) or removed leaves the
  // frames it asked for behind, and does not take them back: run, they would call into what it has
  // freed (Ruffle's memory was seen corrupted by it: "Out of bounds memory access", and every
  // call into the movie failing from then on). Every frame asked for until then is its own.
  function dropRequestedFrames() {
    for (const id of unrunFrames.keys()) cancelFrame(id);
    unrunFrames.clear();
    heldFrames.length = 0;
  }

  function removePlayer() {
    dropRequestedFrames();
    player.remove();
    player = null;
  }

  // A frame that throws must not keep the ones after it from running, or the movie's player
  // would never get another.
  function runRequestedFramesNow() {
    const frames = [...unrunFrames];
    unrunFrames.clear();
    for (const [id, callback] of frames) {
      cancelFrame(id);
      try {
        runFrame(callback, performance.now());
      } catch (error) {
        console.error("a frame of a player that is gone: " + error);
      }
    }
  }

  if (native) {
    // What arrives while the page is not waiting for an answer; commands the launcher never got
    // (it refused the channel) take the older road.
    native.listen((calls, unsent) => {
      if (calls) schedule(calls, true);
      if (!unsent) return;
      for (const item of unsent) {
        if (item.length === 1) send({ kind: "trace", text: item[0] });
        else if (item.length === 2) send({ kind: "fscommand", command: item[0], args: item[1] });
      }
    });
  }

  function forward(command, args) {
    const text = args == null ? "" : String(args);
    if (native && native.send(String(command), text)) schedule([]);
    else send({ kind: "fscommand", command: String(command), args: text });
  }

  // A trace takes the commands' road where there is one, so that it keeps its place among them.
  function trace(text) {
    if (!native || !native.trace(String(text))) send({ kind: "trace", text: String(text) });
  }

  function createPlayer() {
    const element = window.RufflePlayer.newest().createPlayer();
    element.id = "player";
    element.onFSCommand = (command, args) => {
      forward(command, args);
      return true;
    };
    document.body.appendChild(element);
    watchPlayerPanels(element);
    return element;
  }

  // The hold of a load, taken when the load is asked for: a start() that comes while the load is
  // still on its way (fetching its handed bytes, waiting for the preparation) finds it.
  function takeHold(hold) {
    held = hold ? { loaded: false, startAsked: false } : null;
    return held;
  }

  function startHeldMovie() {
    held = null;
    const target = api();
    if (target && typeof target.resume === "function") target.resume();
    else if (player && typeof player.play === "function") player.play();
    setTimeout(runRequestedFramesNow, 0);
  }

  window.brimtale = {
    // Loads a movie; `menu` false switches the player's context menu off, `transparent` lets the
    // page's background show where the movie draws nothing. A held load waits for start().
    async load(url, menu, transparent, movieBase, entry = takeHold(holdLoads)) {
      try {
        failed = false;
        if (preparing) await preparing;
        if (!player) player = createPlayer();
        const options = {
          url: url,
          contextMenu: menu ? "on" : "off",
          wmode: transparent ? "transparent" : "window",
          autoplay: entry ? "off" : "on",
        };
        if (movieBase) options.base = movieBase;
        dropRequestedFrames();
        await api().load(options);
        api().traceObserver = trace;
        if (entry && held === entry) {
          entry.loaded = true;
          if (entry.startAsked) startHeldMovie();
          else console.log("Movie held ready: " + url);
        }
      } catch (error) {
        send({ kind: "error", text: "load " + url + ": " + error });
        reportFailure("the player cannot start", error);
      }
    },
    // Plays the bytes at `dataUrl` (the runtime's copy of what the launcher fetched) as the movie
    // at `url`, which is also the base of the movie's relative URLs.
    async loadHanded(url, dataUrl, menu, transparent) {
      const entry = takeHold(holdLoads);
      try {
        const response = await pageFetch(dataUrl);
        if (!response.ok) throw new Error("the runtime no longer holds the movie");
        handed = { url: new URL(url).href, bytes: await response.arrayBuffer() };
      } catch (error) {
        failed = false;
        reportFailure("the movie cannot be handed to the player", error);
        return;
      }
      await window.brimtale.load(url, menu, transparent, url, entry);
    },
    // Loads and compiles the player's code before any movie comes. A failure is only logged: the
    // movie's own load meets it again, in a fresh player.
    prepare() {
      if (player || preparing) return;
      player = createPlayer();
      preparingElement = player;
      // The movie's load then goes on in a fresh player, which either starts or fails in view.
      const stopped = new Promise((resolve, reject) => {
        endPreparing = (detail) => reject(new Error("the player stopped with an error: " + detail));
      });
      preparing = Promise.race([api().load({ data: blankMovie, autoplay: "off", contextMenu: "off" }), stopped])
        .catch((error) => {
          send({ kind: "error", text: "prepare: " + error });
          if (player === preparingElement) removePlayer();
        })
        .finally(() => {
          preparing = null;
          preparingElement = null;
          endPreparing = null;
        });
    },
    // Loads asked for while `on` holds are held.
    hold(on) {
      holdLoads = Boolean(on);
    },
    // Starts the held movie, now or once it has loaded.
    start() {
      if (!held) return;
      held.startAsked = true;
      if (held.loaded) startHeldMovie();
    },
    unload() {
      if (player) removePlayer();
      handed = null;
      held = null;
    },
    // Calls a function the movie exposed through ExternalInterface.addCallback.
    call(name, args) {
      const target = api();
      if (!target) return undefined;
      try {
        if (typeof target.callExternalInterface === "function") return target.callExternalInterface(name, ...args);
        if (typeof player[name] === "function") return player[name](...args);
      } catch (error) {
        send({ kind: "error", text: "call " + name + ": " + error });
      }
      return undefined;
    },
  };

  // The browser's own menu never shows; the player's menu is Ruffle's and follows `menu`.
  window.addEventListener("load", () => send({ kind: "ready", channel: native !== null }));
})();
