// The page: a card per served supply, live from the server's event stream
// (/api/events), with the writes of /api/supplies/N/set, /output and /api/all-off.
// Every request carries the token that link.js keeps for this tab and origin.
//
// Every value a card shows in a data-field element is the text the log's CSV
// writes for it: JSON numbers print as their shortest form ("12.34", "1.5"), the
// output as true/false. A missing value is an empty element (the style sheet draws
// a dash in its place).
(function () {
  "use strict";

  const kStaleMs = 2000;          // a card without a good reading this long turns grey
  const kWindowS = 600;           // the chart's span: the last 10 minutes
  const kBucketS = 0.5;           // one chart point per half second per supply
  const kRedrawMs = 500;          // a chart redraws at most this often
  const kDebugEvents = 5000;      // the readings the debug hook keeps

  const link = window.vantelLink;
  const cardsEl = document.getElementById("cards");
  const template = document.getElementById("card-template");
  const linkEl = document.querySelector('[data-field="link"]');
  const bannerEl = document.getElementById("banner");
  const noticeEl = document.getElementById("notice");
  const signinEl = document.getElementById("signin");
  const cards = new Map(); // address -> Card

  // For benchmarks and automation: when each reading arrived (epoch ms, the same
  // clock as the system's), when the first card showed a value, and how many
  // writes went to the server.
  const debug = { events: [], firstValueAt: null, writes: 0 };
  window.vantelDebug = debug;

  function now() {
    return performance.timeOrigin + performance.now();
  }

  // The CSV's text of a value: a number in its shortest form, a boolean as
  // true/false, a missing value as nothing.
  function csvText(value) {
    if (value === null || value === undefined) {
      return "";
    }
    return String(value);
  }

  function cssColour(name, fallback) {
    const value = getComputedStyle(document.documentElement).getPropertyValue(name).trim();
    return value || fallback;
  }

  // ---- The server's answers --------------------------------------------------

  // A POST with the token in its header. Resolves to {ok, status, body}; a
  // network failure is status 0 with its words.
  async function post(path, body) {
    let response;
    ++debug.writes;
    try {
      response = await link.request(path, {
        method: "POST",
        headers: { "Content-Type": "application/json" },
        body: JSON.stringify(body),
      });
    } catch (error) {
      return { ok: false, status: 0, body: { error: "no answer from the server (" + error.message + ")" } };
    }
    let parsed = null;
    try {
      parsed = await response.json();
    } catch (error) {
      parsed = null;
    }
    if (!parsed || typeof parsed !== "object") {
      parsed = response.ok ? {} : { error: "HTTP " + response.status };
    }
    return { ok: response.ok, status: response.status, body: parsed };
  }

  function refusal(result) {
    const words = result.body && result.body.error ? result.body.error : "HTTP " + result.status;
    return result.status ? words + " (" + result.status + ")" : words;
  }

  // A set value as a user types it: digits with a point or a comma before the
  // decimals ("12", "12.5", "12,5", ".5"). Anything else (a sign, an exponent,
  // hexadecimal, "Infinity", two points) is refused here and never sent. The
  // server checks the range.
  function typedNumber(text) {
    const trimmed = text.trim();
    if (!/^(\d+([.,]\d*)?|[.,]\d+)$/.test(trimmed)) {
      return null;
    }
    return Number(trimmed.replace(",", "."));
  }

  // ---- A card ----------------------------------------------------------------

  class Card {
    constructor(address) {
      this.address = address;
      this.lastGoodAt = null;   // when the last good reading arrived (page clock)
      this.createdAt = now();
      this.last = null;         // the last good reading
      this.error = "";
      this.points = { v: [], a: [] };
      this.redrawDue = false;
      this.lastRedraw = 0;
      this.chart = null;

      const root = template.content.firstElementChild.cloneNode(true);
      root.dataset.address = String(address);
      this.root = root;
      this.fields = {};
      for (const el of root.querySelectorAll("[data-field]")) {
        this.fields[el.dataset.field] = el;
      }
      this.fields.address.textContent = String(address);
      this.lamp = root.querySelector(".lamp");
      this.onButton = root.querySelector('[data-action="output-on"]');
      this.offButton = root.querySelector('[data-action="output-off"]');
      this.onButton.addEventListener("click", () => this.switchOutput(true));
      this.offButton.addEventListener("click", () => this.switchOutput(false));
      for (const input of root.querySelectorAll("[data-input]")) {
        input.addEventListener("keydown", (event) => {
          if (event.key === "Enter") {
            event.preventDefault();
            this.sendSet(input);
          }
        });
      }
      this.canvas = root.querySelector("canvas");
      this.setStale(true);
    }

    // Cards stay in address order whatever order they first appear in.
    insertInto(container) {
      let before = null;
      for (const [address, card] of cards) {
        if (address > this.address && (!before || address < Number(before.dataset.address))) {
          before = card.root;
        }
      }
      container.insertBefore(this.root, before);
      this.makeChart();
    }

    makeChart() {
      if (typeof window.Chart !== "function") {
        return; // no chart library: the figures still work
      }
      const axisColour = cssColour("--muted", "#777");
      const gridColour = cssColour("--grid", "rgba(128,128,128,0.2)");
      const voltColour = cssColour("--volts", "#1f77d0");
      const ampColour = cssColour("--amps", "#d0731f");
      this.chart = new window.Chart(this.canvas, {
        type: "line",
        data: {
          datasets: [
            { label: "V", data: this.points.v, yAxisID: "v", borderColor: voltColour,
              backgroundColor: voltColour },
            { label: "A", data: this.points.a, yAxisID: "a", borderColor: ampColour,
              backgroundColor: ampColour },
          ],
        },
        options: {
          animation: false,
          parsing: false,
          normalized: true,
          spanGaps: false,
          responsive: true,
          maintainAspectRatio: false,
          events: [],
          elements: { point: { radius: 0 }, line: { borderWidth: 1.5, tension: 0 } },
          plugins: { legend: { display: false }, tooltip: { enabled: false } },
          scales: {
            x: { type: "linear", min: -kWindowS, max: 0,
                 ticks: { color: axisColour, stepSize: 120, maxRotation: 0,
                          callback: (value) => (value / 60).toFixed(0) + " min" },
                 grid: { color: gridColour } },
            v: { type: "linear", position: "left", beginAtZero: true,
                 ticks: { color: voltColour, maxTicksLimit: 5 }, grid: { color: gridColour } },
            a: { type: "linear", position: "right", beginAtZero: true,
                 ticks: { color: ampColour, maxTicksLimit: 5 }, grid: { drawOnChartArea: false } },
          },
        },
      });
    }

    recolour() {
      if (this.chart) {
        this.chart.destroy();
        this.chart = null;
        this.makeChart();
      }
    }

    take(reading, arrivedAt) {
      if (typeof reading.name === "string" && reading.name) {
        this.fields.name.textContent = reading.name;
      }
      this.fields.ceilings.textContent = ceilingsText(reading.ceilings);
      if (reading.ah !== undefined && reading.ah !== null) {
        this.fields.ah.textContent = csvText(reading.ah);
      }
      if (reading.wh !== undefined && reading.wh !== null) {
        this.fields.wh.textContent = csvText(reading.wh);
      }
      this.error = reading.error ? String(reading.error) : "";
      this.fields.error.textContent = this.error;
      const good = !reading.error && reading.v !== null && reading.v !== undefined;
      if (good) {
        this.last = reading;
        this.lastGoodAt = arrivedAt;
        for (const key of ["v", "a", "w", "set_v", "set_a", "output", "mode"]) {
          this.fields[key].textContent = csvText(reading[key]);
        }
        this.root.classList.toggle("on", reading.output === true);
        this.onButton.setAttribute("aria-pressed", String(reading.output === true));
        this.offButton.setAttribute("aria-pressed", String(reading.output === false));
        if (debug.firstValueAt === null) {
          debug.firstValueAt = performance.now();
        }
      }
      this.plot(reading, good);
      this.setStale(!good && this.staleFor(arrivedAt));
    }

    staleFor(at) {
      const since = this.lastGoodAt === null ? this.createdAt : this.lastGoodAt;
      return at - since >= kStaleMs;
    }

    setStale(stale) {
      if (this.root.classList.contains("stale") === stale) {
        return;
      }
      this.root.classList.toggle("stale", stale);
      this.root.dataset.stale = String(stale);
    }

    tick(at) {
      this.setStale(this.staleFor(at));
    }

    // One point per half second: the newest reading of the half second stands for
    // it. A failed reading breaks the lines (a null point).
    plot(reading, good) {
      const x = typeof reading.elapsed_s === "number" ? reading.elapsed_s : null;
      if (x === null) {
        return;
      }
      const v = this.points.v;
      const a = this.points.a;
      if (v.length && x < v[v.length - 1].x) {
        v.length = 0; // the server started again: its clock did too
        a.length = 0;
      }
      const pointV = { x: x, y: good ? reading.v : null };
      const pointA = { x: x, y: good ? reading.a : null };
      const lastIndex = v.length - 1;
      if (lastIndex >= 0 && Math.floor(v[lastIndex].x / kBucketS) === Math.floor(x / kBucketS) &&
          (v[lastIndex].y === null) === (pointV.y === null)) {
        v[lastIndex] = pointV;
        a[lastIndex] = pointA;
      } else {
        v.push(pointV);
        a.push(pointA);
      }
      let drop = 0;
      while (drop < v.length && v[drop].x < x - kWindowS) {
        ++drop;
      }
      if (drop) {
        v.splice(0, drop);
        a.splice(0, drop);
      }
      this.latestX = x;
      this.redrawDue = true;
    }

    redraw(at) {
      if (!this.chart || !this.redrawDue || at - this.lastRedraw < kRedrawMs) {
        return;
      }
      this.redrawDue = false;
      this.lastRedraw = at;
      const scale = this.chart.options.scales.x;
      scale.max = this.latestX;
      scale.min = this.latestX - kWindowS;
      scale.ticks.callback = (value) => {
        const ago = Math.round((this.latestX - value) / 60);
        return ago === 0 ? "now" : "-" + ago + " min";
      };
      this.chart.update("none");
    }

    say(text, isError) {
      this.fields.message.textContent = text;
      this.fields.message.classList.toggle("error", Boolean(isError));
    }

    async sendSet(input) {
      const key = input.dataset.input === "set_v" ? "v" : "a";
      const unit = key === "v" ? "V" : "A";
      const typed = input.value.trim();
      const value = typedNumber(typed);
      if (value === null) {
        this.say((typed ? "'" + typed + "' is not a number" : "no value given") +
                 ": type digits, with a point or a comma for decimals (12.5 or 12,5)", true);
        input.focus();
        return;
      }
      const text = typed.replace(",", ".");
      input.disabled = true;
      this.say("setting " + text + " " + unit + "\u2026", false);
      const result = await post("/api/supplies/" + this.address + "/set", { [key]: value });
      input.disabled = false;
      if (result.ok) {
        input.value = "";
        if (result.body.reading) {
          this.take(result.body.reading, now());
        }
        this.say("set " + text + " " + unit + ": confirmed", false);
      } else {
        // A refusal (4xx) changed nothing; otherwise the server's words say what
        // is known of the write ("not confirmed: timeout").
        const refused = result.status >= 400 && result.status < 500;
        this.say("set " + text + " " + unit + (refused ? " refused: " : ": ") + refusal(result),
                 true);
        input.focus();
      }
    }

    async switchOutput(on) {
      this.onButton.disabled = true;
      this.offButton.disabled = true;
      this.say("switching " + (on ? "on" : "off") + "\u2026", false);
      const result = await post("/api/supplies/" + this.address + "/output", { on: on });
      this.onButton.disabled = false;
      this.offButton.disabled = false;
      if (result.ok) {
        if (result.body.reading) {
          this.take(result.body.reading, now());
        }
        this.say("output " + (on ? "on" : "off") + ": confirmed", false);
      } else {
        this.say("output " + (on ? "on" : "off") + ": " + refusal(result), true);
      }
    }
  }

  function ceilingsText(ceilings) {
    if (!ceilings || typeof ceilings !== "object") {
      return "";
    }
    const parts = [];
    for (const [key, unit] of [["v", "V"], ["a", "A"], ["w", "W"]]) {
      if (typeof ceilings[key] === "number") {
        parts.push("\u2264 " + ceilings[key] + " " + unit);
      }
    }
    if (!parts.length) {
      return "";
    }
    return "ceilings " + parts.join(", ") + (ceilings.by ? " (" + ceilings.by + ")" : "");
  }

  function cardFor(address) {
    let card = cards.get(address);
    if (!card) {
      card = new Card(address);
      card.insertInto(cardsEl);
      cards.set(address, card);
    }
    return card;
  }

  // ---- The stream ------------------------------------------------------------

  let stream = null;

  function setLink(live) {
    linkEl.textContent = live ? "live" : "lost";
    document.body.classList.toggle("lost", !live);
    if (live) {
      bannerEl.hidden = true;
    } else {
      bannerEl.textContent = "The stream of readings is lost: reconnecting\u2026";
      bannerEl.hidden = false;
    }
  }

  function onReading(data) {
    const at = now();
    let reading;
    try {
      reading = JSON.parse(data);
    } catch (error) {
      return;
    }
    if (!reading || typeof reading.address !== "number") {
      return;
    }
    if (debug.events.length >= kDebugEvents) {
      debug.events.splice(0, debug.events.length - kDebugEvents + 1);
    }
    debug.events.push({ at: at, address: reading.address, elapsed_s: reading.elapsed_s,
                        good: !reading.error });
    cardFor(reading.address).take(reading, at);
  }

  // The stream is `live` from its answer's headers until it ends, fails or falls
  // silent; it is then reopened with a growing pause.
  function connect() {
    stream = link.openStream("/api/events", {
      open: () => setLink(true),
      event: (type, data) => {
        if (type === "reading") {
          onReading(data);
        }
      },
      lost: () => setLink(false),
    });
  }

  // ---- Signing in -------------------------------------------------------------

  function showSignin(why) {
    if (stream) {
      stream.stop();
      stream = null;
    }
    document.body.classList.add("signed-out");
    bannerEl.hidden = true;
    signinEl.querySelector('[data-field="signin-why"]').textContent = why || "";
    signinEl.hidden = false;
    signinEl.querySelector('[data-input="token"]').focus();
  }

  function start() {
    document.body.classList.remove("signed-out");
    signinEl.hidden = true;
    setLink(false);
    bannerEl.hidden = true; // not lost yet: connecting
    connect();
  }

  signinEl.addEventListener("submit", (event) => {
    event.preventDefault();
    const box = signinEl.querySelector('[data-input="token"]');
    if (link.signIn(box.value)) {
      box.value = "";
      start();
    }
  });

  link.onSignedOut(() => showSignin(
    "The server did not take the token: it may have started again with another one. " +
    "Open the address it printed."));

  // ---- The page's own controls ------------------------------------------------

  let allOffRunning = false;

  async function allOff() {
    if (allOffRunning) {
      return;
    }
    allOffRunning = true;
    const button = document.querySelector('[data-action="all-off"]');
    button.disabled = true;
    say("switching every output off\u2026", false);
    const result = await post("/api/all-off", {});
    button.disabled = false;
    allOffRunning = false;
    if (!result.ok) {
      say("All outputs off failed: " + refusal(result), true);
      return;
    }
    const off = Array.isArray(result.body.off) ? result.body.off : [];
    const failed = Array.isArray(result.body.failed) ? result.body.failed : [];
    let text = off.length ? "Off, confirmed: " + off.map((n) => "#" + n).join(", ") + "." : "";
    for (const f of failed) {
      text += (text ? " " : "") + "#" + f.address + " NOT confirmed off: " + f.error + ".";
    }
    say(text || "No supply is served.", failed.length > 0);
  }

  function say(text, isError) {
    noticeEl.textContent = text;
    noticeEl.classList.toggle("error", isError);
  }

  // The record comes with the token, so it is fetched here and handed to the
  // browser as a file.
  async function downloadRecord() {
    let response;
    let blob;
    try {
      response = await link.request("/api/record.csv");
      if (response.ok) {
        blob = await response.blob();
      }
    } catch (error) {
      say("Download CSV failed: no whole answer from the server (" + error.message + ")", true);
      return;
    }
    if (!response.ok) {
      say("Download CSV failed: HTTP " + response.status, true);
      return;
    }
    const url = URL.createObjectURL(blob);
    const anchor = document.createElement("a");
    anchor.href = url;
    anchor.download = "vantel-record.csv";
    document.body.append(anchor);
    anchor.click();
    anchor.remove();
    setTimeout(() => URL.revokeObjectURL(url), 60000);
  }

  document.querySelector('[data-action="all-off"]').addEventListener("click", allOff);
  document.querySelector('[data-action="download-csv"]').addEventListener("click",
                                                                          downloadRecord);
  document.addEventListener("keydown", (event) => {
    if (event.ctrlKey && event.shiftKey && !event.altKey && !event.metaKey &&
        (event.key === "O" || event.key === "o" || event.code === "KeyO")) {
      event.preventDefault();
      allOff();
    }
  });

  // Greying and redrawing run on one timer; a hidden page skips its charts.
  setInterval(() => {
    const at = now();
    for (const card of cards.values()) {
      card.tick(at);
      if (!document.hidden) {
        card.redraw(at);
      }
    }
  }, 250);

  const scheme = window.matchMedia ? window.matchMedia("(prefers-color-scheme: dark)") : null;
  if (scheme && scheme.addEventListener) {
    scheme.addEventListener("change", () => {
      for (const card of cards.values()) {
        card.recolour();
      }
    });
  }

  if (link.signedIn()) {
    start();
  } else {
    showSignin("");
  }
})();
