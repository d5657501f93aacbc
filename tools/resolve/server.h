// The page of `qorgit resolve`: an HTTP server on 127.0.0.1 (a free port) that serves one page
// and the JSON requests behind it, for the notebooks being resolved.
//
// Security: every request needs the session cookie, which the one-time token of the URL is
// exchanged for (HttpOnly, SameSite=Strict); a Host other than 127.0.0.1, localhost or [::1]
// with the server's port is refused (DNS rebinding); a request that changes anything must be a
// POST of JSON that carries the header X-Qor-Resolve and a same-origin Origin or Sec-Fetch-Site;
// every response carries a strict Content-Security-Policy; notebook text goes to the page only
// inside JSON, which the page shows as text; no path is ever taken from a request.
#ifndef QOR_TOOLS_RESOLVE_SERVER_H_
#define QOR_TOOLS_RESOLVE_SERVER_H_

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "resolve/session.h"

namespace qor::resolve {

struct ServeOptions {
  // Called once with the page's URL (token included) when the server listens.
  std::function<void(const std::string& url)> announce;
  // Opens the URL: the command in $BROWSER, else the desktop's opener.
  bool open_browser = true;
  // The server ends when no request came for this long (the open page asks every few seconds).
  std::chrono::milliseconds idle_timeout{std::chrono::minutes(10)};
  // How long the server waits, after the page said it closes, for the page to come back (a
  // reload says it closes too).
  std::chrono::milliseconds close_grace{std::chrono::seconds(3)};
  // Writes a notebook whose result passes its checks (and stages it); throws what fails.
  std::function<void(NotebookFile&)> save;
};

// Serves the page for `notebooks` until every notebook is saved (returns true), or the page
// closes or stays away for the idle timeout (returns false; what was not saved stays as it
// was). Throws IoError when the server cannot listen.
bool serve(std::vector<std::unique_ptr<NotebookFile>>& notebooks, const ServeOptions& options);

// The state of notebook `index` as the page reads it: its path, counts, conflicts (with the
// base, current, incoming and result texts), decisions, what is left and the review list.
json::Value notebook_state(const NotebookFile& notebook, std::size_t index);

}  // namespace qor::resolve

#endif  // QOR_TOOLS_RESOLVE_SERVER_H_
