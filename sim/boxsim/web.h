// The web front panel: an HTTP server inside boxsim that shows the box (TV,
// LCD, text display, LEDs, hardware, logs) and takes the same actions as the
// scenario scripts.
//
//   GET  /                      the page: web/index.html, with /panel.css and /panel.js
//                               (the files of web/, embedded at build time; assets.h)
//   GET  /api/state             the state JSON (as NAME-state.json, plus picture versions)
//   GET  /api/actions           [{"name":..,"usage":..}] the actions the box knows
//   POST /api/action            body: one action line, e.g. "cable plug 1000"
//   GET  /api/picture/NAME.png  a picture ("tv", "lcd"); 404 while nothing is shown
//   GET  /api/events            server-sent events: picture, state, log
//   GET  /api/script            the actions run so far, as a scenario script
#pragma once

#include <memory>
#include <string>

namespace boxsim::tool {

class Session;

class WebPanel {
public:
    WebPanel();
    ~WebPanel();
    WebPanel(const WebPanel &) = delete;
    WebPanel &operator=(const WebPanel &) = delete;

    // Takes the address before anything else of the run is made, so a port
    // in use ends the run before it has written anything. Port 0 picks a
    // free port.
    bool bind(const std::string &host, int port, std::string &err);
    int port() const;
    // Starts answering, for this session.
    void start(Session &session);
    // Takes no more actions and ends the event streams: the run is ending.
    void close();
    // Waits (at most `ms`) for answers in flight, so the answer to a quit
    // reaches its caller before the process ends.
    void drain(int ms);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Checks a --serve address: loopback only, since the panel has no access
// control. Fills host and port; false with `err` otherwise.
bool parse_serve_address(const std::string &text, std::string &host, int &port, std::string &err);

} // namespace boxsim::tool
