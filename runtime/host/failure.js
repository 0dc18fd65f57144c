"use strict";
// The launcher's failure page. It says what could not be loaded, where and why, and offers Try
// again and Quit (and Play offline when an offline copy can be played).
//
// Its notice comes from the data element, which the launcher fills, or else from the page's own
// query (title, address, cause, retry: seconds until a paced retry, offline). In the game window
// the buttons post to the player runtime's "brimtale" handler; in the launcher's own windows the
// window binds them by their ids.
(function () {
  function notice() {
    try {
      const data = JSON.parse(document.getElementById("failure-data").textContent);
      if (data && typeof data === "object") return data;
    } catch (error) {
      // Not filled in: the query holds the notice.
    }
    const query = new URLSearchParams(window.location.search);
    return {
      title: query.get("title") || "",
      address: query.get("address") || "",
      cause: query.get("cause") || "",
      retry: query.has("retry") ? Number(query.get("retry")) : -1,
      offline: query.get("offline") === "1",
    };
  }

  const data = notice();
  const byId = (id) => document.getElementById(id);
  byId("title").textContent = data.title || "Something cannot be loaded";
  byId("address").textContent = data.address || "";
  byId("address").hidden = !data.address;
  byId("cause").textContent = data.cause || "";
  byId("ButtonOffline").hidden = !data.offline;

  const handlers = window.webkit && window.webkit.messageHandlers;
  const runtime = handlers && handlers.brimtale;
  if (runtime) {
    byId("ButtonRetry").addEventListener("click", () => runtime.postMessage({ kind: "retry" }));
    byId("ButtonCancel").addEventListener("click", () => runtime.postMessage({ kind: "quit" }));
  }

  // A paced retry: the time left, counted down here; the launcher replaces the page when it tries.
  const next = byId("next");
  const retry = Number(data.retry);
  if (Number.isFinite(retry) && retry >= 0) {
    const due = Date.now() + retry * 1000;
    const show = () => {
      const left = Math.ceil((due - Date.now()) / 1000);
      next.textContent = left > 0 ? "The next try comes in " + left + " s." : "Trying again now.";
      return left > 0;
    };
    next.hidden = false;
    if (show()) {
      const timer = setInterval(() => { if (!show()) clearInterval(timer); }, 250);
    }
  }

  // The launcher's own windows show at the size the page asks for.
  if (window.external && typeof window.external.ResizeAndCenter === "function") window.external.ResizeAndCenter(600, 320);
  (data.offline ? byId("ButtonOffline") : byId("ButtonRetry")).focus();
  // What the page says, for the console (BRIMTALE_PLAYER_CONSOLE=1 writes it to standard output):
  // its visible texts in order, from the elements (layout may not have run yet).
  const shown = ["title", "address", "cause", "next", "ButtonOffline", "ButtonRetry", "ButtonCancel"]
    .map(byId)
    .filter((element) => !element.hidden && element.textContent !== "")
    .map((element) => element.textContent);
  console.info("Failure page: " + shown.join(" | "));
})();
