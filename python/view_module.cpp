// The live view from Python, a module of its own: only a program that makes a LiveView loads
// the view's library and its web server (the package imports this module on first use).

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <string>
#include <vector>

#include "jointbus/common/live_view.h"

namespace py = pybind11;

namespace {

using MotorPtr = std::shared_ptr<CtrlMotorInterface>;
using MotorList = std::vector<MotorPtr>;

// A live view of motors owned by Python: keeps them alive while it serves.
struct View {
    jointbus::LiveView view;
    MotorList motors;
};

}  // namespace

PYBIND11_MODULE(_jointbus_view, m) {
    m.doc() = "The live view of jointbus motors in a web browser.";
    // The motor classes come from the core module; it is imported first so that pybind11 knows
    // them when a list of motors is converted.
    py::module_::import("jointbus._jointbus");

    py::class_<View>(m, "LiveView", R"doc(
A live view of motors in a web browser, serving from the moment it is made: open .url. Charts of
the last 10 s, a card per motor, a row per bus and a STOP button that holds and disables every
motor. control=True lets the page also enable, disable and move single motors.)doc")
        .def(py::init([](MotorList motors, int port, bool control, const std::string& address,
                         double rateHz, const std::string& assetDir) {
                 auto self = std::make_unique<View>();
                 for (const auto& motor : motors)
                     if (!motor || self->view.addMotor(motor.get()) != 0)
                         throw py::value_error("LiveView: a motor is None");
                 if (self->view.setAddress(address) != 0)
                     throw py::value_error("LiveView: \"" + address +
                                           "\" is not an IPv4 or IPv6 address");
                 if (self->view.setRate(rateHz) != 0)
                     throw py::value_error("LiveView: rate_hz must be 1 to 50");
                 if (!assetDir.empty()) self->view.setAssetDir(assetDir);
                 self->view.allowControl(control);
                 if (self->view.start(port) != 0)
                     throw py::value_error("LiveView: cannot serve on port " +
                                           std::to_string(port) + " (see the log for why)");
                 self->motors = std::move(motors);
                 return self;
             }),
             py::arg("motors"), py::arg("port") = 0, py::arg("control") = false,
             py::arg("address") = jointbus::LiveView::kDefaultAddress,
             py::arg("rate_hz") = jointbus::LiveView::kDefaultRateHz,
             py::arg("asset_dir") = "")
        .def(
            "stop",
            [](View& self) {
                py::gil_scoped_release unlocked;
                self.view.stop();
            },
            "Ends every page's stream and stops serving.")
        .def("__enter__", [](View& self) -> View& { return self; })
        .def("__exit__",
             [](View& self, py::args) {
                 py::gil_scoped_release unlocked;
                 self.view.stop();
                 return false;
             })
        .def_property_readonly("url", [](const View& self) { return self.view.url(); })
        .def_property_readonly("port", [](const View& self) { return self.view.port(); })
        .def_property_readonly("token", [](const View& self) { return self.view.token(); })
        .def_property_readonly("serving", [](const View& self) { return self.view.serving(); });
}
