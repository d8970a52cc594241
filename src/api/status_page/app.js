// The agent's status page: plain JavaScript over the management API. Every value from the agent is
// put into the page as text (textContent, text nodes, attributes), never as markup.
"use strict";

(() => {
  const TOKEN_KEY = "vorpane.token";
  const REFRESH_MS = 5000;
  const EVENTS_KEPT = 500; // events the page holds; older ones leave the list
  const EVENTS_SHOWN_ON_OVERVIEW = 10;

  // ---------------------------------------------------------------------------------------------
  // Token and API calls

  function takeTokenFromUrl() {
    const match = /(?:^#|[#&/])token=([^&]*)/.exec(location.hash);
    if (match) {
      sessionStorage.setItem(TOKEN_KEY, decodeURIComponent(match[1]));
      history.replaceState(null, "", location.pathname + location.search + "#/overview");
    }
  }

  function token() {
    return sessionStorage.getItem(TOKEN_KEY) || "";
  }

  class ApiError extends Error {
    constructor(status, body) {
      const detail = body && typeof body === "object" ? body.detail || body.error : String(body || "");
      super(status + " " + detail);
      this.status = status;
      this.body = body;
    }
  }

  let askingToken = false;
  function askToken(message) {
    const dialog = document.getElementById("token-dialog");
    document.getElementById("token-error").textContent = message || "";
    if (!askingToken) {
      askingToken = true;
      dialog.showModal();
    }
  }

  async function api(path, options = {}) {
    if (!token()) {
      askToken("");
      throw new ApiError(401, { detail: "no token yet" });
    }
    const headers = { Authorization: "Bearer " + token() };
    if (options.body !== undefined) {
      headers["Content-Type"] = "application/json";
    }
    const response = await fetch(path, {
      method: options.method || "GET",
      headers,
      body: options.body === undefined ? undefined : JSON.stringify(options.body),
      signal: options.signal,
      cache: "no-store",
      credentials: "omit",
    });
    const text = await response.text();
    let body = text;
    try {
      body = JSON.parse(text);
    } catch (e) {
      // Not JSON: /metrics, generated files.
    }
    if (response.status === 401) {
      askToken("The agent did not take that token.");
    }
    if (!response.ok) {
      throw new ApiError(response.status, body);
    }
    return body;
  }

  function query(params) {
    const parts = [];
    for (const [key, value] of Object.entries(params)) {
      if (value !== undefined && value !== null && value !== "") {
        parts.push(encodeURIComponent(key) + "=" + encodeURIComponent(value));
      }
    }
    return parts.length ? "?" + parts.join("&") : "";
  }

  function tablePath(appl, name) {
    return "/v1/tables/" + encodeURIComponent(appl) + "/" + encodeURIComponent(name);
  }

  // ---------------------------------------------------------------------------------------------
  // Building the page: elements with text, never markup

  function el(tag, props, ...children) {
    const e = document.createElement(tag);
    for (const [key, value] of Object.entries(props || {})) {
      if (value === undefined || value === null || value === false) continue;
      if (key === "class") e.className = value;
      else if (key === "text") e.textContent = String(value);
      else if (key.startsWith("on")) e.addEventListener(key.slice(2), value);
      else e.setAttribute(key, String(value));
    }
    append(e, children);
    return e;
  }

  function append(parent, children) {
    for (const child of children.flat()) {
      if (child === undefined || child === null || child === false) continue;
      parent.append(child instanceof Node ? child : document.createTextNode(String(child)));
    }
    return parent;
  }

  const SVG = "http://www.w3.org/2000/svg";
  function svg(tag, attrs, ...children) {
    const e = document.createElementNS(SVG, tag);
    for (const [key, value] of Object.entries(attrs || {})) {
      if (key === "text") e.textContent = String(value);
      else if (key.startsWith("on")) e.addEventListener(key.slice(2), value);
      else e.setAttribute(key, String(value));
    }
    for (const c of children) e.append(c);
    return e;
  }

  function cell(value) {
    if (value === null || value === undefined) return el("td", { class: "muted", text: "—" });
    if (typeof value === "number") return el("td", { class: "num", text: String(value) });
    return el("td", { text: String(value) });
  }

  function dataTable(headers, rows) {
    return el(
      "table",
      { class: "data" },
      el("thead", {}, el("tr", {}, headers.map((h) => (h instanceof Node ? h : el("th", { text: h }))))),
      el("tbody", {}, rows)
    );
  }

  function errorBox(error) {
    return el("p", { class: "error", text: error instanceof ApiError ? error.message : "Error: " + error });
  }

  function since(seconds) {
    if (seconds === null || seconds === undefined) return "—";
    const d = Math.floor(seconds / 86400), h = Math.floor((seconds % 86400) / 3600);
    const m = Math.floor((seconds % 3600) / 60), s = Math.floor(seconds % 60);
    return (d ? d + "d " : "") + (d || h ? h + "h " : "") + (d || h || m ? m + "m " : "") + s + "s";
  }

  function clockTime(epochSeconds) {
    return new Date(epochSeconds * 1000).toLocaleTimeString();
  }

  function setStatus(text) {
    document.getElementById("status").textContent = text;
  }

  // ---------------------------------------------------------------------------------------------
  // Events: one long poll for the page's life, kept in a bounded list that views render from in
  // batches (one DOM update per animation frame, however fast events come).

  const events = {
    list: [], // oldest first, at most EVENTS_KEPT
    lastSeq: 0,
    received: 0,
    listeners: new Set(),
    started: false,
  };

  // A held poll keeps one of the few connections a browser opens to one host (six), so a page that
  // is not seen gives its poll up and takes it again, from the last event it had, once it is seen:
  // otherwise a handful of background tabs, or of pages kept in the back-forward cache, would leave
  // none for the page in front, whose requests would then wait out their polls.
  let pollAbort = new AbortController();
  let wakePoll = null;
  let pageShown = true; // false from pagehide (leaving, or into the back-forward cache) to pageshow
  const seen = () => pageShown && document.visibilityState !== "hidden";
  const seenChanged = () => {
    if (!seen()) pollAbort.abort();
    else if (wakePoll) wakePoll();
  };
  document.addEventListener("visibilitychange", seenChanged);
  window.addEventListener("pagehide", () => {
    pageShown = false;
    seenChanged();
  });
  window.addEventListener("pageshow", () => {
    pageShown = true;
    seenChanged();
  });

  async function pollEvents() {
    for (;;) {
      if (!token()) {
        await new Promise((resolve) => setTimeout(resolve, 500));
        continue;
      }
      if (!seen()) {
        await new Promise((resolve) => (wakePoll = resolve));
        wakePoll = null;
        continue;
      }
      pollAbort = new AbortController();
      try {
        const first = events.lastSeq === 0 && events.received === 0;
        const answer = await api("/v1/events" + query({ after: events.lastSeq, wait: first ? 0 : 25 }),
                                 { signal: pollAbort.signal });
        const batch = answer.events || [];
        events.lastSeq = Math.max(events.lastSeq, answer.lastSeq || 0);
        events.received += batch.length;
        if (batch.length) {
          events.list.push(...batch);
          if (events.list.length > EVENTS_KEPT) events.list.splice(0, events.list.length - EVENTS_KEPT);
          for (const listener of events.listeners) listener(batch);
        }
        if (first && !batch.length) events.received = -1; // caught up once; wait from now on
      } catch (error) {
        if (pollAbort.signal.aborted) continue; // given up while not seen
        await new Promise((resolve) => setTimeout(resolve, 2000));
      }
    }
  }

  function eventText(e) {
    const parts = [e.time || "", "#" + e.seq, e.kind];
    if (e.situation) parts.push(e.situation);
    if (e.subnode) parts.push(e.subnode);
    if (e.atomicValue) parts.push("[" + e.atomicValue + "]");
    if (e.row) parts.push(JSON.stringify(e.row));
    return parts.join("  ");
  }

  // A list of events that follows the live feed, newest on top, capped.
  function liveEventList(view, cap) {
    const ul = el("ul", { class: "events", id: "event-list" });
    const fill = (items) => {
      const fragment = document.createDocumentFragment();
      for (let i = items.length - 1; i >= 0; --i) {
        fragment.append(el("li", { class: items[i].kind === "raised" ? "raised" : null, "data-seq": items[i].seq, text: eventText(items[i]) }));
      }
      return fragment;
    };
    ul.append(fill(events.list.slice(-cap)));
    let pending = [];
    let scheduled = false;
    const flush = () => {
      scheduled = false;
      const items = pending.slice(-cap);
      pending = [];
      ul.prepend(fill(items));
      while (ul.childElementCount > cap) ul.lastElementChild.remove();
      view.onEvents && view.onEvents();
    };
    view.listen((batch) => {
      pending.push(...batch);
      if (!scheduled) {
        scheduled = true;
        requestAnimationFrame(flush);
      }
    });
    return ul;
  }

  // ---------------------------------------------------------------------------------------------
  // Views. Each gets a context that ends its timers, listeners and requests when another view comes.

  class ViewContext {
    constructor() {
      this.abort = new AbortController();
      this.timers = [];
      this.listeners = [];
    }
    every(ms, fn) {
      // A page nobody sees does not refresh; the next refresh after it is seen again catches up.
      const run = () => (seen() ? fn() : Promise.resolve()).catch(() => {});
      this.timers.push(setInterval(run, ms));
    }
    listen(fn) {
      events.listeners.add(fn);
      this.listeners.push(fn);
    }
    end() {
      this.abort.abort();
      this.timers.forEach(clearInterval);
      this.listeners.forEach((fn) => events.listeners.delete(fn));
    }
    get live() {
      return !this.abort.signal.aborted;
    }
  }

  // Hub figures from /metrics: the page's one reading of the Prometheus text.
  function metricValues(text) {
    const out = {};
    for (const line of String(text).split("\n")) {
      const m = /^(vorpane_(?:hub|api)_[a-z_]+)(\{[^}]*\})? ([0-9.eE+-]+)$/.exec(line);
      if (m) out[m[1]] = (out[m[1]] || 0) + Number(m[3]);
    }
    return out;
  }

  async function tableExists(appl, group) {
    const list = await api("/v1/tables?all=1");
    return (list.tables || []).some((t) => t.application === appl && t.group === group);
  }

  async function overview(main, ctx) {
    main.append(el("h1", { text: "Overview" }));
    const cards = el("section", { class: "cards", id: "agent-cards" });
    const hub = el("section", { class: "cards", id: "hub-cards" });
    const providers = el("div", { id: "providers" });
    const raised = el("div", { id: "raised" });
    main.append(cards, el("h2", { text: "Hub" }), hub, el("h2", { text: "Providers" }), providers,
      el("h2", { text: "Situations raised now" }), raised, el("h2", { text: "Latest events" }),
      liveEventList(ctx, EVENTS_SHOWN_ON_OVERVIEW));

    const card = (label, value, id) => el("div", { class: "card", id }, el("div", { class: "label", text: label }), el("div", { class: "value", text: value }));
    let previous = null;
    const refresh = async () => {
      const [health, metrics, situations] = await Promise.all([
        api("/v1/health"), api("/metrics").catch(() => ""), api("/v1/situations"),
      ]);
      if (!ctx.live) return;
      document.getElementById("agent-name").textContent = health.agent;
      cards.replaceChildren(card("Agent", health.agent), card("Version", health.version), card("Uptime", since(health.uptimeSeconds)),
        card("Hub port", health.hubPort ?? "—"), card("Subnodes", health.subnodes), card("Tables", health.tables));
      const m = metricValues(metrics);
      const now = performance.now();
      let rate = "—";
      if (previous && m.vorpane_hub_rows_total !== undefined) {
        rate = ((m.vorpane_hub_rows_total - previous.rows) / ((now - previous.at) / 1000)).toFixed(1);
      }
      previous = { rows: m.vorpane_hub_rows_total || 0, at: now };
      hub.replaceChildren(card("Rows/s", rate), card("Connections", m.vorpane_hub_connections ?? "—"),
        card("Queued requests", m.vorpane_hub_queued_requests ?? "—"), card("Malformed requests", m.vorpane_hub_malformed_requests_total ?? "—"),
        card("Rows taken", m.vorpane_hub_rows_total ?? "—"));

      if (await tableExists("VAGENT", "DPSTATUS")) {
        const rows = await api(tablePath("VAGENT", "DPSTATUS") + "/rows");
        providers.replaceChildren(dataTable(["Source", "Provider", "Definitions", "Rows sent", "Errors", "Malformed", "Last error"],
          rows.rows.map((r) => el("tr", {}, cell(r.Node_Name), cell(r.Provider), cell(r.Definitions), cell(r.Rows_Sent), cell(r.Errors), cell(r.Malformed), cell(r.Last_Error)))));
      } else {
        providers.replaceChildren(el("p", { class: "muted", text: "No provider has reported yet." }));
      }
      const up = [];
      for (const s of situations.situations || []) {
        for (const st of s.states || []) {
          if (st.state === "raised") up.push(el("tr", {}, cell(s.name), cell(st.subnode), cell(st.atomicValue || null), cell(st.since)));
        }
      }
      raised.replaceChildren(up.length ? dataTable(["Situation", "Subnode", "Atomic value", "Since"], up) : el("p", { class: "muted", text: "None." }));
      setStatus("updated " + new Date().toLocaleTimeString());
    };
    await refresh();
    ctx.every(REFRESH_MS, refresh);
  }

  async function tables(main, ctx) {
    main.append(el("h1", { text: "Applications and tables" }));
    const [apps, list] = await Promise.all([api("/v1/applications"), api("/v1/tables")]);
    if (!ctx.live) return;
    const byCode = new Map((list.tables || []).map((t) => [t.table, t]));
    for (const app of apps.applications || []) {
      const rows = [];
      for (const g of app.groups || []) {
        const t = byCode.get(g.table);
        if (!t) continue; // the agent's own tables
        const name = g.group || g.table;
        rows.push(el("tr", {},
          el("td", {}, el("a", { href: "#/table/" + encodeURIComponent(t.application) + "/" + encodeURIComponent(name), text: name })),
          cell(g.help || null), cell(t.rowCount), cell(t.sampleType), cell(t.ttl), cell(g.table)));
      }
      if (!rows.length) continue;
      main.append(el("h2", { text: app.name, title: (app.versions || []).join(", ") }),
        dataTable(["Group", "Help", "Rows", "Sample type", "TTL (s)", "Table"], rows));
    }
  }

  // A polyline of values scaled into width x height.
  function polyline(points, width, height, pad) {
    if (!points.length) return "";
    const xs = points.map((p) => p[0]), ys = points.map((p) => p[1]);
    const x0 = Math.min(...xs), x1 = Math.max(...xs), y0 = Math.min(...ys), y1 = Math.max(...ys);
    const sx = (x) => pad + (x1 === x0 ? (width - 2 * pad) / 2 : ((x - x0) / (x1 - x0)) * (width - 2 * pad));
    const sy = (y) => height - pad - (y1 === y0 ? (height - 2 * pad) / 2 : ((y - y0) / (y1 - y0)) * (height - 2 * pad));
    return points.map((p) => sx(p[0]).toFixed(1) + "," + sy(p[1]).toFixed(1)).join(" ");
  }

  function sparkline(series, onOpen) {
    const values = series.points.map((p) => p[1]);
    return svg("svg", { class: "spark", width: 140, height: 28, viewBox: "0 0 140 28", "data-values": values.join(","),
      "data-attribute": series.attribute, onclick: onOpen },
      svg("title", { text: series.attribute + ": " + values.length + " points, last " + (values.length ? values[values.length - 1] : "—") }),
      svg("polyline", { points: polyline(series.points, 140, 28, 2) }));
  }

  function bigChart(series, unit) {
    const W = 720, H = 240, pad = 36;
    const values = series.points.map((p) => p[1]);
    const min = Math.min(...values), max = Math.max(...values);
    const first = series.points[0], last = series.points[series.points.length - 1];
    return svg("svg", { class: "chart", id: "big-chart", width: W, height: H, viewBox: `0 0 ${W} ${H}` },
      svg("polyline", { points: polyline(series.points, W, H, pad) }),
      svg("text", { x: 4, y: pad, text: String(max) + (unit ? " " + unit : "") }),
      svg("text", { x: 4, y: H - pad, text: String(min) + (unit ? " " + unit : "") }),
      svg("text", { x: pad, y: H - 8, text: first ? clockTime(first[0]) : "" }),
      svg("text", { x: W - pad - 60, y: H - 8, text: last ? clockTime(last[0]) : "" }));
  }

  function seriesLabel(s) {
    const keys = Object.entries(s.keys || {}).map(([k, v]) => k + "=" + v);
    return [s.subnode].concat(keys).join(" ");
  }

  async function tableView(main, ctx, appl, name) {
    const desc = await api(tablePath(appl, name));
    if (!ctx.live) return;
    const title = (desc.group || desc.table) + " — " + desc.application;
    main.append(el("h1", { text: title, title: desc.help || "" }));
    if (desc.help) main.append(el("p", { class: "muted", text: desc.help }));
    const columns = desc.columns || [];
    const whereInput = el("input", { type: "text", id: "where", placeholder: "where, e.g. Used_Pct > 90", value: sessionStorage.getItem("where:" + appl + "/" + name) || "" });
    const live = el("input", { type: "checkbox", id: "live", checked: "checked" });
    const whereError = el("div", { class: "where-error", id: "where-error" });
    const count = el("span", { class: "muted", id: "row-count" });
    const form = el("form", { class: "inline", onsubmit: (e) => { e.preventDefault(); sessionStorage.setItem("where:" + appl + "/" + name, whereInput.value); refresh().catch(() => {}); } },
      el("label", { for: "where", text: "Where" }), whereInput, el("button", { type: "submit", text: "Filter" }),
      el("label", {}, live, " live"), count);
    const rowsBox = el("div", { id: "rows" });
    const trends = el("div", { id: "trends" });
    const chartBox = el("div", { id: "chart" });
    main.append(form, whereError, rowsBox, el("h2", { text: "Last 15 minutes" }), chartBox, trends);

    const header = columns.map((c) => el("th", {
      title: [c.help, c.unit ? "unit: " + c.unit : "", "column " + c.column].filter(Boolean).join("\n"),
      text: (c.caption || c.name) + (c.unit ? " (" + c.unit + ")" : ""),
    }));
    const numeric = columns.filter((c) => c.valueType === "integer" && !c.key && c.column !== "ORIGINNODE");

    const showWhereError = (error) => {
      const text = whereInput.value;
      const at = Math.max(1, error.body.position || 1);
      const chars = Array.from(text);
      whereError.replaceChildren(
        el("p", { class: "error", text: error.body.detail }),
        el("code", {}, chars.slice(0, at - 1).join(""), el("mark", { text: chars[at - 1] === undefined ? " " : chars[at - 1] }), chars.slice(at).join("")));
    };

    const refreshRows = async () => {
      let answer;
      try {
        answer = await api(tablePath(appl, name) + "/rows" + query({ where: whereInput.value.trim() }), { signal: ctx.abort.signal });
      } catch (error) {
        if (error instanceof ApiError && error.body && error.body.error === "bad where") {
          showWhereError(error);
          return;
        }
        throw error;
      }
      whereError.replaceChildren();
      const rows = (answer.rows || []).slice().reverse(); // newest first
      count.textContent = rows.length + " rows";
      rowsBox.replaceChildren(dataTable(header, rows.map((r) => el("tr", {}, columns.map((c) => cell(r[c.name]))))));
      // How long the page took to its first rows, for whoever measures it (bench/status_page_load).
      if (!performance.getEntriesByName("first-rows").length) performance.mark("first-rows");
    };

    let opened = null; // the series of the large chart: its label and attribute
    const refreshTrends = async () => {
      if (!numeric.length) {
        trends.replaceChildren(el("p", { class: "muted", text: "No numeric column." }));
        return;
      }
      const history = await api(tablePath(appl, name) + "/history", { signal: ctx.abort.signal });
      const bySeries = new Map();
      for (const s of history.series || []) {
        const label = seriesLabel(s);
        if (!bySeries.has(label)) bySeries.set(label, new Map());
        bySeries.get(label).set(s.attribute, s);
      }
      const unitOf = new Map(numeric.map((c) => [c.name, c.unit]));
      const rows = [];
      for (const [label, byAttr] of bySeries) {
        rows.push(el("tr", {}, el("td", { text: label }), numeric.map((c) => {
          const s = byAttr.get(c.name);
          if (!s) return cell(null);
          const open = () => {
            opened = { label, attribute: c.name };
            chartBox.replaceChildren(el("p", { text: label + " — " + c.name }), bigChart(s, unitOf.get(c.name)));
          };
          if (opened && opened.label === label && opened.attribute === c.name) open();
          return el("td", {}, sparkline(s, open));
        })));
      }
      trends.replaceChildren(rows.length
        ? dataTable(["Series"].concat(numeric.map((c) => c.caption || c.name)), rows)
        : el("p", { class: "muted", text: "No points yet: the agent samples every " + history.interval + " s." }));
    };

    const refresh = async () => {
      await Promise.all([refreshRows(), refreshTrends()]);
      setStatus("updated " + new Date().toLocaleTimeString());
    };
    await refresh();
    ctx.every(REFRESH_MS, async () => {
      if (live.checked) await refresh();
    });
  }

  // Names as the API takes them.
  const NAME = /^[A-Za-z0-9_]{1,32}$/;
  const TABLE_NAME = /^[A-Za-z0-9_.-]{1,32}$/;

  async function situations(main, ctx) {
    main.append(el("h1", { text: "Situations" }));
    const listBox = el("div", { id: "situation-list" });
    const formBox = el("div", { id: "situation-form-box" });
    const historyBox = el("div", { id: "situation-history" });
    main.append(listBox, el("h2", { text: "Add or edit" }), formBox, el("h2", { text: "Changes" }), historyBox);

    const fields = {
      name: el("input", { type: "text", id: "sit-name", required: "required" }),
      application: el("input", { type: "text", id: "sit-application", required: "required" }),
      table: el("input", { type: "text", id: "sit-table", required: "required" }),
      where: el("input", { type: "text", id: "sit-where", required: "required" }),
      interval: el("input", { type: "number", id: "sit-interval", min: 1, value: 60 }),
      event: el("input", { type: "checkbox", id: "sit-event" }),
      action: el("input", { type: "text", id: "sit-action" }),
      atomic: el("input", { type: "text", id: "sit-atomic" }),
    };
    const errors = {};
    const formError = el("p", { class: "error", id: "sit-error" });
    let editing = null; // the definition being edited
    const row = (label, key) => {
      errors[key] = el("div", { class: "field-error", id: "sit-" + key + "-error" });
      return [el("label", { for: fields[key].id, text: label }), fields[key], errors[key]];
    };
    const form = el("form", { class: "grid", id: "situation-form", novalidate: "novalidate" },
      row("Name", "name"), row("Application", "application"), row("Table (group)", "table"), row("Where", "where"),
      row("Interval (s)", "interval"), row("Event situation", "event"), row("Action", "action"), row("Atomic column", "atomic"),
      el("span"), el("div", {}, el("button", { type: "submit", id: "sit-save", text: "Save" }), " ",
        el("button", { type: "button", id: "sit-clear", text: "Clear", onclick: () => fill(null) })),
      el("span"), formError);
    formBox.append(form);

    function fill(def) {
      editing = def;
      fields.name.value = def ? def.name : "";
      fields.application.value = def ? def.application : "";
      fields.table.value = def ? def.table : "";
      fields.where.value = def ? def.where : "";
      fields.interval.value = def ? def.interval || 60 : 60;
      fields.event.checked = !!(def && def.event);
      fields.action.value = def ? def.action || "" : "";
      fields.atomic.value = def ? def.atomic || "" : "";
      Object.values(errors).forEach((e) => (e.textContent = ""));
      formError.textContent = "";
    }

    // The checks the API makes before it looks at the tables.
    function validate() {
      const problems = {};
      const control = /[\u0000-\u001f\u007f]/;
      if (!NAME.test(fields.name.value)) problems.name = "1 to 32 letters, digits or _";
      if (!TABLE_NAME.test(fields.application.value)) problems.application = "1 to 32 letters, digits, _, . or -";
      if (!TABLE_NAME.test(fields.table.value)) problems.table = "1 to 32 letters, digits, _, . or -";
      if (!fields.where.value.trim()) problems.where = "a condition, e.g. Used_Pct > 90";
      else if (control.test(fields.where.value)) problems.where = "holds a control character";
      const interval = Number(fields.interval.value);
      if (!fields.event.checked && !(Number.isInteger(interval) && interval > 0)) problems.interval = "a whole number of seconds above 0";
      if (control.test(fields.action.value)) problems.action = "holds a control character";
      if (fields.atomic.value && !/^[A-Za-z0-9_]{1,32}$/.test(fields.atomic.value)) problems.atomic = "an attribute or column name";
      for (const key of Object.keys(errors)) errors[key].textContent = problems[key] || "";
      return Object.keys(problems).length === 0;
    }

    function body() {
      return {
        name: fields.name.value, application: fields.application.value, table: fields.table.value,
        where: fields.where.value, interval: Number(fields.interval.value) || 0, event: fields.event.checked,
        action: fields.action.value, atomic: fields.atomic.value, subnodes: editing ? editing.subnodes || [] : [],
      };
    }

    function showApiError(error) {
      const b = error.body || {};
      if (b.error === "bad where") {
        errors.where.textContent = b.detail;
      }
      formError.textContent = error.message;
    }

    form.addEventListener("submit", async (e) => {
      e.preventDefault();
      formError.textContent = "";
      if (!validate()) return;
      const wanted = body();
      try {
        if (editing) {
          // The API keeps a definition whole: an edit replaces it, and puts the old one back when
          // the new one is refused.
          await api("/v1/situations/" + encodeURIComponent(editing.name), { method: "DELETE" });
          try {
            await api("/v1/situations", { method: "POST", body: wanted });
          } catch (error) {
            await api("/v1/situations", { method: "POST", body: definitionOf(editing) }).catch(() => {});
            throw error;
          }
        } else {
          await api("/v1/situations", { method: "POST", body: wanted });
        }
        fill(null);
        await refresh();
      } catch (error) {
        if (error instanceof ApiError) showApiError(error);
        else formError.textContent = String(error);
      }
    });

    function definitionOf(s) {
      return { name: s.name, application: s.application, table: s.table, where: s.where, interval: s.interval,
        event: s.event, action: s.action, atomic: s.atomic, subnodes: s.subnodes || [] };
    }

    const refresh = async () => {
      const answer = await api("/v1/situations");
      if (!ctx.live) return;
      const rows = [];
      for (const s of answer.situations || []) {
        const states = s.states && s.states.length ? s.states : [{ subnode: null, state: s.state || "defined", since: null }];
        states.forEach((st, i) => {
          rows.push(el("tr", { "data-situation": s.name },
            cell(i === 0 ? s.name : ""), cell(i === 0 ? s.application + "/" + s.table : ""), cell(i === 0 ? s.where : ""),
            cell(st.subnode), el("td", { class: st.state === "raised" ? "raised" : null, text: st.state }),
            cell(st.since), cell(i === 0 ? s.lastSample ?? null : ""), cell(s.reason || null),
            el("td", {}, i === 0 ? [
              el("button", { type: "button", text: "Edit", onclick: () => fill(s) }), " ",
              el("button", { type: "button", text: "Delete", onclick: async () => {
                if (!confirm("Delete the situation " + s.name + "?")) return;
                await api("/v1/situations/" + encodeURIComponent(s.name), { method: "DELETE" }).catch((error) => (formError.textContent = error.message));
                await refresh();
              } }),
            ] : [])));
        });
      }
      listBox.replaceChildren(rows.length
        ? dataTable(["Name", "Table", "Where", "Subnode", "State", "Since", "Last sample", "Reason", ""], rows)
        : el("p", { class: "muted", text: "No situation is defined." }));
      const changes = events.list.filter((e) => e.kind === "raised" || e.kind === "cleared").slice(-50).reverse();
      historyBox.replaceChildren(changes.length
        ? dataTable(["Time", "Situation", "Subnode", "Change"], changes.map((e) => el("tr", {}, cell(e.time), cell(e.situation), cell(e.subnode), cell(e.kind))))
        : el("p", { class: "muted", text: "No change yet." }));
    };
    ctx.listen((batch) => {
      if (batch.some((e) => e.kind !== "row")) refresh().catch(() => {});
    });
    await refresh();
    ctx.every(REFRESH_MS, refresh);
  }

  async function eventsView(main, ctx) {
    main.append(el("h1", { text: "Events" }));
    const counter = el("p", { class: "muted", id: "event-count" });
    const update = () => (counter.textContent = "Last sequence number " + events.lastSeq + "; the newest " + EVENTS_KEPT + " are shown.");
    update();
    ctx.onEvents = update;
    main.append(counter, liveEventList(ctx, EVENTS_KEPT));
  }

  async function actions(main, ctx) {
    main.append(el("h1", { text: "Actions" }));
    const subnodes = await api("/v1/subnodes");
    if (!ctx.live) return;
    const command = el("input", { type: "text", id: "action-command", placeholder: "Vorpane_Echo hello", required: "required" });
    const subnode = el("select", { id: "action-subnode" },
      (subnodes.subnodes || []).filter((s) => s.state === "registered").map((s) => el("option", { value: s.name, text: s.name })));
    const result = el("div", { id: "action-result" });
    const log = el("div", { id: "action-log" });
    const run = el("button", { type: "submit", id: "action-run", text: "Run" });
    const form = el("form", { class: "inline", id: "action-form" },
      el("label", { for: "action-command", text: "Command" }), command,
      el("label", { for: "action-subnode", text: "on" }), subnode, run);
    form.addEventListener("submit", async (e) => {
      e.preventDefault();
      if (!command.value.trim() || /[\u0000-\u001f\u007f]/.test(command.value)) {
        result.replaceChildren(el("p", { class: "error", text: "A command without control characters." }));
        return;
      }
      run.disabled = true;
      result.replaceChildren(el("p", { class: "muted", text: "Running…" }));
      try {
        const answer = await api("/v1/actions", { method: "POST", body: { command: command.value, subnodes: [subnode.value] } });
        result.replaceChildren(dataTable(["Action", "Result", "Text"],
          [el("tr", {}, cell(answer.actionId), el("td", { class: answer.result === 0 ? "ok" : "raised", text: String(answer.result) }), cell(answer.text))]));
      } catch (error) {
        result.replaceChildren(errorBox(error));
      } finally {
        run.disabled = false;
      }
      await refreshLog().catch(() => {});
    });
    main.append(form, result, el("h2", { text: "Action log" }), log);

    const refreshLog = async () => {
      if (!(await tableExists("VAGENT", "ACTION"))) {
        log.replaceChildren(el("p", { class: "muted", text: "No action yet." }));
        return;
      }
      const rows = await api(tablePath("VAGENT", "ACTION") + "/rows");
      const shown = (rows.rows || []).slice(-100).reverse();
      log.replaceChildren(shown.length
        ? dataTable(["ID", "Type", "Owner", "Node", "Name", "Status", "Result"], shown.map((r) =>
          el("tr", {}, cell(r.Action_ID), cell(r.Action_Type), cell(r.Action_Owner), cell(r.Action_Node), cell(r.Action_Name), cell(r.Action_Status), cell(r.Action_Result))))
        : el("p", { class: "muted", text: "No action yet." }));
    };
    await refreshLog();
    ctx.every(REFRESH_MS, refreshLog);
  }

  // ---------------------------------------------------------------------------------------------
  // Routing

  let current = null;

  async function render() {
    if (current) current.end();
    const ctx = (current = new ViewContext());
    const main = document.getElementById("view");
    main.replaceChildren();
    delete main.dataset.ready; // set again once this view has drawn
    const parts = location.hash.replace(/^#\/?/, "").split("/").map(decodeURIComponent);
    const name = parts[0] || "overview";
    for (const a of document.querySelectorAll("nav a")) {
      a.classList.toggle("current", a.dataset.view === name || (name === "table" && a.dataset.view === "tables"));
    }
    if (!token()) {
      askToken("");
      return;
    }
    const views = { overview, tables, situations, events: eventsView, actions };
    try {
      if (name === "table" && parts.length >= 3) await tableView(main, ctx, parts[1], parts[2]);
      else await (views[name] || overview)(main, ctx);
      main.dataset.ready = name;
    } catch (error) {
      if (ctx.live) main.append(errorBox(error));
    }
  }

  function start() {
    takeTokenFromUrl();
    const dialog = document.getElementById("token-dialog");
    document.getElementById("token-form").addEventListener("submit", () => {
      const value = document.getElementById("token-input").value.trim();
      if (value) sessionStorage.setItem(TOKEN_KEY, value);
      askingToken = false;
      render();
    });
    dialog.addEventListener("cancel", (e) => e.preventDefault());
    window.addEventListener("hashchange", () => {
      takeTokenFromUrl();
      render();
    });
    pollEvents();
    render();
  }

  start();
})();
