// Opened from file://, a page may not start a Worker, and the theme's search
// runs in one. There the worker's script runs instead in a hidden same-origin
// frame, its messages carried both ways as the Worker interface would. Over
// http(s) nothing changes.
(function () {
  "use strict";
  if (location.protocol !== "file:") {
    return;
  }

  class FrameWorker extends EventTarget {
    constructor(url) {
      super();
      this.pending = [];
      this.frame = document.createElement("iframe");
      this.frame.hidden = true;
      (document.body || document.documentElement).appendChild(this.frame);
      const inner = this.frame.contentWindow;
      // The script's replies come out here instead of going to its own window.
      inner.postMessage = (data) => {
        this.dispatchEvent(new MessageEvent("message", { data }));
      };
      inner.importScripts = () => {
        throw new Error("importScripts is not available to a page opened from a file");
      };
      const script = inner.document.createElement("script");
      script.src = new URL(url, location.href).href;
      script.onload = () => {
        this.ready = true;
        this.pending.splice(0).forEach((data) => this.deliver(data));
      };
      script.onerror = () => this.dispatchEvent(new Event("error"));
      inner.document.head.appendChild(script);
    }

    deliver(data) {
      const inner = this.frame.contentWindow;
      inner.dispatchEvent(new inner.MessageEvent("message", { data }));
    }

    postMessage(data) {
      if (this.ready) {
        this.deliver(data);
      } else {
        this.pending.push(data);
      }
    }

    terminate() {
      this.frame.remove();
    }
  }

  window.Worker = FrameWorker;
})();
