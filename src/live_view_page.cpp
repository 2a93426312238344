#include "live_view_page.h"

namespace jointbus_detail {

namespace {

// Text for an HTML attribute value or element.
std::string HtmlText(const std::string& text) {
    std::string out;
    for (const char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            case '"': out += "&quot;"; break;
            case '\'': out += "&#39;"; break;
            default: out += c;
        }
    }
    return out;
}

}  // namespace

std::string LiveViewPage(const std::string& token) {
    return R"(<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<meta name="jointbus-token" content=")" +
           HtmlText(token) + R"(">
<title>jointbus live view</title>
<link rel="icon" href="data:,">
<link rel="stylesheet" href="dygraph.min.css">
<link rel="stylesheet" href="app.css">
</head>
<body>
<header>
  <h1>jointbus live view</h1>
  <span id="status">connecting…</span>
  <button id="pause" type="button">Pause</button>
  <button id="csv" type="button">Download CSV</button>
  <button id="stop" type="button" title="Hold and disable every motor">STOP</button>
</header>
<main>
  <table id="buses">
    <thead><tr><th>bus</th><th>frames/s sent</th><th>write failures</th><th>offline episodes</th></tr></thead>
    <tbody></tbody>
  </table>
  <div id="motors"></div>
</main>
<script src="dygraph.min.js"></script>
<script src="app.js"></script>
</body>
</html>
)";
}

// The page's script. It builds every element from data with textContent, never as markup.
const char* const kLiveViewScript = R"JS("use strict";
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
    const [pos, target, vel, torque, enabled, code, age, temp] = s;
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
)JS";

const char* const kLiveViewStyle = R"CSS(body { font-family: sans-serif; margin: 0; background: #f4f4f4; color: #222; }
header { position: sticky; top: 0; z-index: 10; display: flex; gap: 1em; align-items: center;
         padding: 0.5em 1em; background: #263238; color: #fff; }
header h1 { font-size: 1.1em; margin: 0; flex: 1; }
#status { font-weight: bold; }
#status.bad { color: #ffab91; }
#stop { background: #d50000; color: #fff; font-size: 1.2em; font-weight: bold; border: 0;
        padding: 0.4em 1.4em; border-radius: 4px; cursor: pointer; }
main { padding: 1em; }
#buses { border-collapse: collapse; margin-bottom: 1em; background: #fff; }
#buses th, #buses td { border: 1px solid #ccc; padding: 0.2em 0.6em; text-align: right; }
#buses td:first-child { text-align: left; }
#motors { display: grid; grid-template-columns: repeat(auto-fill, minmax(420px, 1fr)); gap: 1em; }
.card { background: #fff; border-radius: 6px; padding: 0.6em 1em; box-shadow: 0 1px 3px #0003; }
.card h2 { font-size: 1em; margin: 0 0 0.4em; }
.fields th { text-align: left; font-weight: normal; color: #555; padding-right: 1em; }
.bad { color: #c62828; font-weight: bold; }
.controls { display: flex; gap: 0.5em; align-items: center; margin: 0.4em 0; }
.controls input { flex: 1; }
.chart { width: 100%; margin-top: 0.4em; }
)CSS";

}  // namespace jointbus_detail
