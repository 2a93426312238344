// The live view's script. It builds every element from data with textContent, never as
// markup.
"use strict";
(function () {
  const token = document.querySelector('meta[name="jointbus-token"]').content;
  const STALE_S = 0.1;  // feedback older than this is shown as stale
  let meta = null;
  let windowS = 10;
  let lastT = -1;
  let paused = false;
  let frozen = null;  // the samples on screen while paused
  const motors = [];  // per motor: {card fields, charts, samples}
  const busRows = [];

  function el(tag, cls, text) {
    const e = document.createElement(tag);
    if (cls) e.className = cls;
    if (text !== undefined) e.textContent = text;
    return e;
  }
  function setStatus(text, bad) {
    const s = document.getElementById("status");
    s.textContent = text;
    s.className = bad ? "bad" : "";
  }
  function post(path) {
    return fetch(path, {method: "POST", headers: {"X-Jointbus-Token": token}})
      .then(r => r.json().catch(() => ({})).then(body => ({status: r.status, body: body})));
  }
  function field(table, name) {
    const row = el("tr");
    row.appendChild(el("th", "", name));
    const value = el("td");
    row.appendChild(value);
    table.appendChild(row);
    return value;
  }
  function chart(parent, title, labels) {
    const div = el("div", "chart");
    parent.appendChild(div);
    return {div: div, title: title, labels: labels, graph: null};
  }

  function build(m) {
    meta = m;
    windowS = m.window;
    const tbody = document.querySelector("#buses tbody");
    m.buses.forEach(name => {
      const row = el("tr");
      row.appendChild(el("td", "", name));
      const cells = [el("td"), el("td"), el("td")];
      cells.forEach(c => row.appendChild(c));
      tbody.appendChild(row);
      busRows.push(cells);
    });
    const list = document.getElementById("motors");
    m.motors.forEach((info, index) => {
      const card = el("section", "card");
      card.appendChild(el("h2", "", info.family + " " + info.id + (info.bus ? " on " + info.bus : "")));
      const table = el("table", "fields");
      const view = {
        info: info,
        enabled: field(table, "enabled"),
        online: field(table, "online"),
        fault: field(table, "fault"),
        age: field(table, "feedback age"),
        temperature: field(table, "temperature"),
        limitHits: field(table, "limit hits"),
        samples: [],
      };
      card.appendChild(table);
      if (m.control) {
        const controls = el("div", "controls");
        const on = el("button", "", "Enable");
        const off = el("button", "", "Disable");
        const slider = el("input");
        slider.type = "range";
        slider.min = "-3.14";
        slider.max = "3.14";
        slider.step = "0.01";
        const shown = el("span", "target", "");
        on.addEventListener("click", () => act(index, "enable"));
        off.addEventListener("click", () => act(index, "disable"));
        slider.addEventListener("input", () => { shown.textContent = Number(slider.value).toFixed(2) + " rad"; });
        slider.addEventListener("change", () => act(index, "target?value=" + encodeURIComponent(slider.value)));
        [on, off, slider, shown].forEach(c => controls.appendChild(c));
        card.appendChild(controls);
        view.slider = slider;
        view.sliderShown = shown;
      }
      view.charts = [
        chart(card, "position (rad)", ["t", "position", "target"]),
        chart(card, "velocity (rad/s)", ["t", "velocity"]),
        chart(card, "torque (N·m)", ["t", "torque"]),
      ];
      list.appendChild(card);
      motors.push(view);
    });
  }

  function act(index, what) {
    post("api/motor/" + index + "/" + what).then(r => {
      if (r.status !== 200) setStatus("refused: " + (r.body.error || r.status), true);
      else if (r.body.result !== 0) setStatus("motor answered " + r.body.result, true);
    }, () => setStatus("request failed", true));
  }

  function show(view, s) {
    const [pos, target, vel, torque, enabled, code, age, temp, limitHits] = s;
    view.enabled.textContent = enabled ? "yes" : "no";
    view.online.textContent = code === 5004 ? "no" : "yes";
    view.online.className = code === 5004 ? "bad" : "";
    const meaning = meta.codes[String(code)];
    view.fault.textContent = code === 0 ? "none" : code + ": " + (meaning || "unknown code");
    view.fault.className = code === 0 ? "" : "bad";
    if (age === null) {
      view.age.textContent = "none yet";
      view.age.className = "bad";
    } else if (age > STALE_S) {
      view.age.textContent = "STALE: " + age.toFixed(2) + " s";
      view.age.className = "bad";
    } else {
      view.age.textContent = (age * 1000).toFixed(0) + " ms";
      view.age.className = "";
    }
    view.temperature.textContent = temp + " °C";
    view.limitHits.textContent = String(limitHits);
    view.limitHits.className = limitHits > 0 ? "bad" : "";
    if (view.slider && view.slider.dataset.placed !== "1") {
      view.slider.value = String(target === null ? pos : target);
      view.sliderShown.textContent = Number(view.slider.value).toFixed(2) + " rad";
      view.slider.dataset.placed = "1";
    }
  }

  function onSample(sample) {
    if (!meta || sample.t <= lastT) return;  // a reconnect sends the window again
    lastT = sample.t;
    sample.m.forEach((s, i) => {
      const view = motors[i];
      if (!view) return;
      view.samples.push([sample.t, s[0], s[1], s[2], s[3]]);
      while (view.samples.length && view.samples[0][0] < sample.t - windowS) view.samples.shift();
      show(view, s);
    });
    sample.b.forEach((b, i) => {
      const cells = busRows[i];
      if (!cells) return;
      cells[0].textContent = String(b[0]);
      cells[1].textContent = String(b[1]);
      cells[2].textContent = String(b[2]);
      cells[1].className = b[1] > 0 ? "bad" : "";
      cells[2].className = b[2] > 0 ? "bad" : "";
    });
  }

  function columns(samples, which) {
    return samples.map(r => which.map(k => r[k]));
  }
  function draw() {
    if (!paused) {
      motors.forEach(view => {
        if (!view.samples.length) return;
        const files = [columns(view.samples, [0, 1, 2]), columns(view.samples, [0, 3]),
                       columns(view.samples, [0, 4])];
        const end = view.samples[view.samples.length - 1][0];
        view.charts.forEach((c, k) => {
          const options = {file: files[k], dateWindow: [Math.max(0, end - windowS), end]};
          if (c.graph) {
            c.graph.updateOptions(options);
          } else {
            c.graph = new Dygraph(c.div, files[k], {
              labels: c.labels, title: c.title, height: 140, legend: "follow",
              xlabel: "", dateWindow: options.dateWindow, connectSeparatedPoints: false,
              axes: {
                x: {valueFormatter: v => v.toFixed(2) + " s", axisLabelFormatter: v => v.toFixed(0) + " s"},
                y: {axisLabelWidth: 60, valueFormatter: v => v.toFixed(4),
                    axisLabelFormatter: v => String(Number(v.toPrecision(3)))},
              },
            });
          }
        });
      });
    }
    setTimeout(draw, 100);
  }

  function csv() {
    const rows = ["t,family,bus,id,position,target,velocity,torque"];
    const quote = v => /[",\r\n]/.test(v) ? '"' + v.replace(/"/g, '""') + '"' : v;
    const source = paused ? frozen : motors.map(v => v.samples.slice());
    source.forEach((samples, i) => {
      const info = motors[i].info;
      samples.forEach(r => rows.push([r[0], info.family, quote(info.bus), info.id, r[1],
                                      r[2] === null ? "" : r[2], r[3], r[4]].join(",")));
    });
    const link = el("a");
    link.href = URL.createObjectURL(new Blob([rows.join("\n") + "\n"], {type: "text/csv"}));
    link.download = "jointbus-live.csv";
    document.body.appendChild(link);
    link.click();
    link.remove();
  }

  document.getElementById("pause").addEventListener("click", e => {
    paused = !paused;
    frozen = paused ? motors.map(v => v.samples.slice()) : null;
    e.target.textContent = paused ? "Resume" : "Pause";
  });
  document.getElementById("csv").addEventListener("click", csv);
  document.getElementById("stop").addEventListener("click", () => {
    setStatus("stopping…", true);
    post("api/stop").then(r => {
      if (r.status !== 200) setStatus("STOP refused: " + (r.body.error || r.status), true);
      else if (r.body.stillEnabled.length) setStatus("STOP: some motors still report enabled", true);
      else setStatus("stopped: every motor held and disabled", true);
    }, () => setStatus("STOP request failed", true));
  });

  const events = new EventSource("events");
  events.addEventListener("meta", e => {
    if (!meta) build(JSON.parse(e.data));
    setStatus("live" + (meta.control ? " (control allowed)" : ""), false);
  });
  events.onmessage = e => onSample(JSON.parse(e.data));
  events.onerror = () => setStatus("disconnected, retrying…", true);
  draw();

  // For tests and the curious: the newest point of a motor's position chart.
  window.jointbusView = {
    ready: () => meta !== null && motors.every(v => v.charts[0].graph !== null),
    lastPosition: index => {
      const g = motors[index].charts[0].graph;
      return g.getValue(g.numRows() - 1, 1);
    },
  };
})();
