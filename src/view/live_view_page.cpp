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

}  // namespace jointbus_detail
