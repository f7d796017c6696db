// The page's link to its server: the token it keeps, the requests that carry it,
// and the stream of readings.
//
// The token is kept in the tab's session storage, which belongs to this origin
// (scheme, host and port) alone: a server on another port of the same host never
// sees it, and two benches on one host keep a token each. It goes out only as an
// Authorization header, never as a cookie, which a browser would send to every
// port of the host. This script runs before anything else of the page loads, so
// that a token given in the address leaves the address bar at once.
(function () {
  "use strict";

  const kKey = "vantel-token";
  const kRetryMs = [500, 1000, 2000, 4000, 5000]; // reconnecting after the stream ends
  // The server sends a comment every 15 s; a stream silent for this long is dead
  // even when no error says so.
  const kSilentMs = 40000;

  function readKept() {
    try {
      return window.sessionStorage.getItem(kKey) || "";
    } catch (error) {
      return ""; // storage refused (a privacy setting): the form asks each time
    }
  }

  function keep(token) {
    try {
      window.sessionStorage.setItem(kKey, token);
    } catch (error) {
      // Kept in this page's memory only.
    }
    current = token;
  }

  function forget() {
    try {
      window.sessionStorage.removeItem(kKey);
    } catch (error) {
      // Nothing kept.
    }
    current = "";
  }

  // The token in "?token=…" is taken and the address bar cleared; anything else
  // in the address stays.
  function takeFromAddress() {
    const params = new URLSearchParams(window.location.search);
    if (!params.has("token")) {
      return;
    }
    const given = params.get("token").trim();
    params.delete("token");
    const rest = params.toString();
    window.history.replaceState(null, "", window.location.pathname + (rest ? "?" + rest : "") +
                                window.location.hash);
    if (given) {
      keep(given);
    }
  }

  // What a user pastes: the token, or the whole address the server printed.
  function tokenFromText(text) {
    const trimmed = String(text || "").trim();
    const match = /[?&]token=([^&#\s]*)/.exec(trimmed);
    if (match) {
      try {
        return decodeURIComponent(match[1]);
      } catch (error) {
        return match[1];
      }
    }
    return trimmed;
  }

  let current = readKept();
  const signedOutHandlers = [];

  // The server no longer takes the token (started again with another one, or a
  // wrong one was given): it is forgotten, and the page asks for a new one.
  function refused() {
    forget();
    for (const handler of signedOutHandlers) {
      handler();
    }
  }

  function headers(extra) {
    return Object.assign({ "Authorization": "Bearer " + current }, extra || {});
  }

  // fetch() with the token; a 401 signs the page out. The browser keeps no
  // credential of its own for these requests (credentials: "omit").
  async function request(path, options) {
    const init = Object.assign({ cache: "no-store", credentials: "omit" }, options || {});
    init.headers = headers(init.headers);
    const response = await fetch(path, init);
    if (response.status === 401) {
      refused();
    }
    return response;
  }

  // Server-Sent Events, cut from a byte stream: lines end in CR, LF or CRLF; a
  // blank line hands over the event gathered so far; a line starting with ':'
  // is a comment.
  class EventParser {
    constructor(onEvent) {
      this.onEvent = onEvent;
      this.pending = "";
      this.afterCR = false;
      this.type = "";
      this.data = [];
      this.retry = null;
    }

    feed(text) {
      // A CR that ended the last chunk ended its line at once; an LF that starts
      // this one is the rest of that CRLF.
      if (this.afterCR && text[0] === "\n") {
        text = text.slice(1);
      }
      this.afterCR = false;
      this.pending += text;
      for (;;) {
        const end = this.pending.search(/[\r\n]/);
        if (end < 0) {
          return;
        }
        const line = this.pending.slice(0, end);
        let skip = 1;
        if (this.pending[end] === "\r") {
          if (end === this.pending.length - 1) {
            this.afterCR = true;
          } else if (this.pending[end + 1] === "\n") {
            skip = 2;
          }
        }
        this.pending = this.pending.slice(end + skip);
        this.line(line);
      }
    }

    line(line) {
      if (line === "") {
        if (this.data.length) {
          this.onEvent(this.type || "message", this.data.join("\n"));
        }
        this.type = "";
        this.data = [];
        return;
      }
      if (line[0] === ":") {
        return;
      }
      const colon = line.indexOf(":");
      const name = colon < 0 ? line : line.slice(0, colon);
      let value = colon < 0 ? "" : line.slice(colon + 1);
      if (value[0] === " ") {
        value = value.slice(1);
      }
      if (name === "event") {
        this.type = value;
      } else if (name === "data") {
        this.data.push(value);
      } else if (name === "retry" && /^\d+$/.test(value)) {
        this.retry = Number(value);
      }
    }
  }

  // A stream of events with the token, reopened after a pause that grows to a few
  // seconds whenever it ends, fails or falls silent, as EventSource would.
  // `handlers`: open(), event(type, data), lost(), each optional. A 401 ends it
  // for good (the page is signed out).
  function openStream(path, handlers) {
    let retries = 0;
    let stopped = false;
    let controller = null;
    let timer = null;
    let watchdog = null;
    let retryMs = null;

    function call(name, ...args) {
      if (!stopped && handlers[name]) {
        handlers[name](...args);
      }
    }

    function arm() {
      clearTimeout(watchdog);
      watchdog = setTimeout(() => controller && controller.abort(), kSilentMs);
    }

    async function run() {
      timer = null;
      controller = new AbortController();
      const parser = new EventParser((type, data) => call("event", type, data));
      let opened = false;
      try {
        arm();
        const response = await request(path, { signal: controller.signal,
                                                headers: { "Accept": "text/event-stream" } });
        if (response.status === 401) {
          stop();
          return;
        }
        const type = response.headers.get("Content-Type") || "";
        if (!response.ok || !type.startsWith("text/event-stream") || !response.body) {
          throw new Error("HTTP " + response.status);
        }
        opened = true;
        retries = 0;
        call("open");
        const reader = response.body.getReader();
        const decoder = new TextDecoder();
        for (;;) {
          arm();
          const chunk = await reader.read();
          if (chunk.done) {
            break;
          }
          parser.feed(decoder.decode(chunk.value, { stream: true }));
          if (parser.retry !== null) {
            retryMs = parser.retry;
          }
        }
      } catch (error) {
        // Ended below, as a stream that closed.
      }
      clearTimeout(watchdog);
      controller = null;
      if (stopped) {
        return;
      }
      call("lost", opened);
      const delay = retryMs !== null ? retryMs : kRetryMs[Math.min(retries, kRetryMs.length - 1)];
      ++retries;
      timer = setTimeout(run, delay);
    }

    function stop() {
      stopped = true;
      clearTimeout(timer);
      clearTimeout(watchdog);
      if (controller) {
        controller.abort();
      }
    }

    run();
    return { stop: stop };
  }

  takeFromAddress();

  window.vantelLink = {
    token: () => current,
    signedIn: () => current !== "",
    signIn: (text) => {
      const token = tokenFromText(text);
      if (token) {
        keep(token);
      }
      return token !== "";
    },
    forget: forget,
    onSignedOut: (handler) => signedOutHandlers.push(handler),
    request: request,
    openStream: openStream,
    EventParser: EventParser, // for tests of the stream's framing
  };
})();
