"use strict";
// The page side of a player window. The runtime library drives it through `window.brimtale`
// (load, call, unload) and hears from it through the "brimtale" message handler:
//   {kind: "ready"}                             the page can take calls
//   {kind: "fscommand", command, args}          fscommand() of the movie
//   {kind: "trace", text}                       trace() of the movie
//   {kind: "error", text}                       a failure the runtime logs
(function () {
  const channel = window.webkit.messageHandlers.brimtale;
  const send = (message) => channel.postMessage(message);
  const base = new URL(".", document.baseURI).href;
  let player = null;

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

  function createPlayer() {
    const element = window.RufflePlayer.newest().createPlayer();
    element.id = "player";
    element.onFSCommand = (command, args) => {
      send({ kind: "fscommand", command: String(command), args: args == null ? "" : String(args) });
      return true;
    };
    document.body.appendChild(element);
    return element;
  }

  window.brimtale = {
    // Loads a movie; `menu` false switches the player's context menu off, `transparent` lets the
    // page's background show where the movie draws nothing.
    async load(url, menu, transparent) {
      try {
        if (!player) player = createPlayer();
        const options = {
          url: url,
          contextMenu: menu ? "on" : "off",
          wmode: transparent ? "transparent" : "window",
        };
        await api().load(options);
        api().traceObserver = (text) => send({ kind: "trace", text: String(text) });
      } catch (error) {
        send({ kind: "error", text: "load " + url + ": " + error });
      }
    },
    unload() {
      if (player) player.remove();
      player = null;
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
  window.addEventListener("load", () => send({ kind: "ready" }));
})();
