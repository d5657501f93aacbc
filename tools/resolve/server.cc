// The resolve page's server, on civetweb. Every request goes through one handler that checks,
// in this order, the Host, the session (the one-time token exchanged for a cookie), and for
// requests that change anything the method, content type, custom header and origin; then one
// lock serialises the work on the notebooks. The main thread waits for the end: every notebook
// saved, the page closed (after a grace period that a reload ends), or the idle timeout. Graph
// layouts are made in a thread of their own, so that the page is there before they are.
#include "resolve/server.h"

#include <civetweb.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fcntl.h>
#include <condition_variable>
#include <cstdlib>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>

#include "platform/process.h"
#include "platform/uuid.h"
#include "qor/errors.h"
#include "qor/notebook.h"
#include "resolve/page.h"
#include "views/changes.h"
#include "views/graph_layout.h"

extern char** environ;

namespace qor::resolve {
namespace {

using Clock = std::chrono::steady_clock;
using json::Value;

constexpr const char* kCookie = "qor_resolve";
constexpr const char* kCustomHeader = "X-Qor-Resolve";
constexpr std::size_t kMaxBody = 64 << 20;
constexpr const char* kSecurityPolicy =
    "default-src 'none'; script-src 'self'; style-src 'self'; img-src 'self'; "
    "connect-src 'self'; base-uri 'none'; form-action 'none'; frame-ancestors 'none'";

// `bytes` random bytes as lower-case hexadecimal.
std::string random_hex(std::size_t bytes) {
  std::string raw(bytes, '\0');
  platform::random_bytes(raw.data(), raw.size());
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string out;
  for (unsigned char c : raw) {
    out += kDigits[c >> 4];
    out += kDigits[c & 15];
  }
  return out;
}

// Compares secrets in a time that does not depend on where they differ.
bool same_secret(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (std::size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

std::string header(mg_connection* conn, const char* name) {
  const char* v = mg_get_header(conn, name);
  return v ? std::string(v) : std::string();
}

// The value of `name` in a query string or a Cookie header (pairs separated by `separator`).
std::optional<std::string> pair_value(std::string_view text, std::string_view name,
                                      char separator) {
  while (!text.empty()) {
    const std::size_t end = std::min(text.find(separator), text.size());
    std::string_view pair = text.substr(0, end);
    while (pair.starts_with(' ')) pair.remove_prefix(1);
    if (pair.starts_with(name) && pair.size() > name.size() && pair[name.size()] == '=') {
      return std::string(pair.substr(name.size() + 1));
    }
    text.remove_prefix(std::min(end + 1, text.size()));
  }
  return std::nullopt;
}

struct Response {
  int status = 200;
  std::string type = "application/json";
  std::string body;
  std::vector<std::pair<std::string, std::string>> headers;
  // The server ends once this response is sent (civetweb drops what is written after it stops).
  bool ends = false;
};

Response text_response(int status, std::string body) {
  return {status, "text/plain; charset=utf-8", std::move(body) + "\n", {}};
}

Response json_response(const Value& value, int status = 200) {
  return {status, "application/json", json::write(value), {}};
}

Response error_response(int status, const std::string& message) {
  return json_response(Value(json::Object{{"error", Value(message)}}), status);
}

const char* reason(int status) {
  switch (status) {
    case 200:
      return "OK";
    case 303:
      return "See Other";
    case 400:
      return "Bad Request";
    case 403:
      return "Forbidden";
    case 404:
      return "Not Found";
    case 405:
      return "Method Not Allowed";
    case 409:
      return "Conflict";
    case 413:
      return "Payload Too Large";
    case 415:
      return "Unsupported Media Type";
    default:
      return "Error";
  }
}

void send(mg_connection* conn, const Response& r) {
  std::string head = "HTTP/1.1 " + std::to_string(r.status) + " " + reason(r.status) + "\r\n";
  const std::pair<const char*, std::string> fixed[] = {
      {"Content-Type", r.type},
      {"Content-Length", std::to_string(r.body.size())},
      {"Content-Security-Policy", kSecurityPolicy},
      {"X-Content-Type-Options", "nosniff"},
      {"X-Frame-Options", "DENY"},
      {"Referrer-Policy", "no-referrer"},
      {"Cache-Control", "no-store"},
      {"Cross-Origin-Opener-Policy", "same-origin"},
      {"Cross-Origin-Resource-Policy", "same-origin"},
      {"Connection", "close"},
  };
  for (const auto& [name, value] : fixed) head += std::string(name) + ": " + value + "\r\n";
  for (const auto& [name, value] : r.headers) head += name + ": " + value + "\r\n";
  head += "\r\n";
  mg_write(conn, head.data(), head.size());
  if (!r.body.empty()) mg_write(conn, r.body.data(), r.body.size());
}

Value optional_text(const std::optional<std::string>& text) {
  return text ? Value(*text) : Value();
}

// Starts `argv` with its output on /dev/null and reaps it in the background; false when it
// cannot be started.
bool start_detached(const std::vector<std::string>& argv) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
  posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", O_WRONLY, 0);
  std::vector<char*> args;
  for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
  args.push_back(nullptr);
  pid_t pid = 0;
  const int failed = posix_spawnp(&pid, args[0], &actions, nullptr, args.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  if (failed != 0) return false;
  std::thread([pid] { ::waitpid(pid, nullptr, 0); }).detach();
  return true;
}

void open_in_browser(const std::string& url) { start_detached(platform::browser_command(url)); }

// The pipeline graph of a notebook as the page draws it.
struct GraphInput {
  std::vector<diff::detail::GraphNode> nodes;
  std::vector<diff::detail::GraphEdge> edges;
  std::vector<std::string> ids, names;
};

GraphInput graph_input(const Value& doc) {
  GraphInput in;
  std::unordered_map<std::string, std::size_t> index;
  const Value* cells = notebook::cell_list(doc);
  if (cells == nullptr) return in;
  std::vector<const Value*> components;
  for (const Value& cell : cells->as_array()) {
    const Value* canvas = notebook::canvas_of(&cell);
    const Value* id = notebook::member(canvas, "id");
    if (id == nullptr || !id->is_string() || index.contains(std::string(id->as_string()))) {
      continue;
    }
    const Value* name = canvas->find("name");
    index.emplace(id->as_string(), in.ids.size());
    in.ids.emplace_back(id->as_string());
    in.names.push_back(name && name->is_string() ? std::string(name->as_string()) : "");
    diff::detail::GraphNode node;
    node.label = diff::detail::display(in.names.back().empty() ? in.ids.back() : in.names.back());
    in.nodes.push_back(std::move(node));
    components.push_back(canvas);
  }
  for (std::size_t i = 0; i < components.size(); ++i) {
    const Value* parents = components[i]->find("parents");
    if (parents == nullptr || !parents->is_array()) continue;
    for (const Value& r : parents->as_array()) {
      const Value* id = r.is_object() ? r.find("id") : nullptr;
      if (id == nullptr || !id->is_string()) continue;
      if (auto it = index.find(std::string(id->as_string())); it != index.end()) {
        in.edges.push_back({it->second, i, diff::detail::EdgeKind::kKept});
      }
    }
  }
  return in;
}

Value graph_json(const GraphInput& in) {
  std::optional<diff::detail::GraphLayout> layout;
  try {
    layout = diff::detail::lay_out_graph(in.nodes, in.edges);
  } catch (const std::exception& e) {
    return Value(json::Object{{"state", Value("error")}, {"message", Value(e.what())}});
  }
  if (!layout) return Value(json::Object{{"state", Value("too large")}});
  json::Array nodes, edges;
  for (std::size_t i = 0; i < in.ids.size(); ++i) {
    const auto& box = layout->nodes[i];
    nodes.emplace_back(json::Object{{"id", Value(in.ids[i])},
                                    {"name", Value(in.names[i])},
                                    {"x", Value(box.centre.x)},
                                    {"y", Value(box.centre.y)},
                                    {"w", Value(box.width)},
                                    {"h", Value(box.height)}});
  }
  for (const auto& points : layout->edges) {
    json::Array list;
    for (const auto& p : points) list.emplace_back(json::Array{Value(p.x), Value(p.y)});
    edges.emplace_back(std::move(list));
  }
  return Value(json::Object{{"state", Value("ready")},
                            {"width", Value(layout->width)},
                            {"height", Value(layout->height)},
                            {"nodes", Value(std::move(nodes))},
                            {"edges", Value(std::move(edges))}});
}

// The layouts, made by a thread that may outlive the server.
struct Graphs {
  std::mutex mutex;
  std::vector<std::optional<Value>> done;
};

class Server {
 public:
  Server(std::vector<std::unique_ptr<NotebookFile>>& notebooks, const ServeOptions& options)
      : notebooks_(notebooks),
        options_(options),
        token_(random_hex(32)),
        session_(random_hex(32)),
        graphs_(std::make_shared<Graphs>()) {}

  bool run() {
    std::vector<GraphInput> inputs;
    for (const auto& nb : notebooks_) inputs.push_back(graph_input(nb->resolution().result()));
    graphs_->done.resize(notebooks_.size());
    std::thread([graphs = graphs_, inputs = std::move(inputs)] {
      for (std::size_t i = 0; i < inputs.size(); ++i) {
        Value graph = graph_json(inputs[i]);
        const std::lock_guard lock(graphs->mutex);
        graphs->done[i] = std::move(graph);
      }
    }).detach();

    mg_init_library(0);
    const char* civet_options[] = {
        "listening_ports",    "127.0.0.1:0", "num_threads", "6", "enable_keep_alive", "no",
        "request_timeout_ms", "30000",       nullptr};
    mg_callbacks callbacks{};
    callbacks.log_message = [](const mg_connection*, const char*) { return 1; };
    mg_context* ctx = mg_start(&callbacks, nullptr, civet_options);
    if (ctx == nullptr) {
      mg_exit_library();
      throw IoError(0, "127.0.0.1", "cannot listen on 127.0.0.1 for the resolve page");
    }
    mg_server_port ports[4];
    const int count = mg_get_server_ports(ctx, 4, ports);
    port_ = count > 0 ? ports[0].port : 0;
    port_suffix_ = ':';
    port_suffix_ += std::to_string(port_);
    mg_set_request_handler(ctx, "/", &Server::handle, this);
    const std::string url = "http://127.0.0.1:" + std::to_string(port_) + "/?token=" + token_;
    {
      const std::lock_guard lock(mutex_);
      last_request_ = Clock::now();
    }
    if (options_.announce) options_.announce(url);
    if (options_.open_browser) open_in_browser(url);
    {
      std::unique_lock lock(mutex_);
      while (!finished_) {
        const Clock::time_point idle_end = last_request_ + options_.idle_timeout;
        Clock::time_point end = idle_end;
        if (closing_) end = std::min(end, *closing_ + options_.close_grace);
        if (Clock::now() >= end) break;
        changed_.wait_until(lock, end);
      }
    }
    // The worker that sent the last answer closes its connection by itself; stopping at once
    // could reset it before the page has read the answer.
    if (finished_) std::this_thread::sleep_for(std::chrono::milliseconds(300));
    mg_stop(ctx);
    mg_exit_library();
    return finished_;
  }

 private:
  static int handle(mg_connection* conn, void* self) {
    Response r;
    // civetweb's worker threads have small stacks: the work (reading and writing notebooks,
    // running git) runs on a thread of the usual size while the worker waits.
    std::thread([&] {
      try {
        r = static_cast<Server*>(self)->respond(conn);
      } catch (const std::exception& e) {
        r = error_response(400, e.what());
      }
    }).join();
    send(conn, r);
    if (r.ends) static_cast<Server*>(self)->finish();
    return r.status;
  }

  // Whether `host` (a Host header, or an origin without its scheme) names this server by a
  // loopback name: never a name some DNS could point here.
  bool allowed_host(std::string_view host) const {
    if (!host.ends_with(port_suffix_)) return false;
    host.remove_suffix(port_suffix_.size());
    return host == "127.0.0.1" || host == "localhost" || host == "[::1]";
  }

  Response respond(mg_connection* conn) {
    const mg_request_info* info = mg_get_request_info(conn);
    const std::string method = info->request_method ? info->request_method : "";
    const std::string uri = info->local_uri ? info->local_uri : "";
    const std::string query = info->query_string ? info->query_string : "";
    if (!allowed_host(header(conn, "Host"))) {
      return text_response(403, "forbidden: the page answers to 127.0.0.1, localhost and [::1]");
    }
    const std::optional<std::string> cookie = pair_value(header(conn, "Cookie"), kCookie, ';');
    const bool session = cookie && same_secret(*cookie, session_);
    if (uri == "/" && method == "GET") {
      if (const auto token = pair_value(query, "token", '&')) {
        bool valid = false;
        {
          const std::lock_guard lock(mutex_);
          valid = !token_used_ && same_secret(*token, token_);
          if (valid) token_used_ = true;
        }
        if (!valid && !session) {
          return text_response(403, "forbidden: this link is not valid (it works once)");
        }
        Response r{303, "text/plain; charset=utf-8", "", {{"Location", "/"}}};
        r.headers.emplace_back("Set-Cookie", std::string(kCookie) + "=" + session_ +
                                                 "; Path=/; HttpOnly; SameSite=Strict");
        touch();
        return r;
      }
    }
    if (!session) {
      return text_response(403, "forbidden: open the link `qorgit resolve` printed");
    }
    touch();
    if (method == "GET") {
      if (uri == "/") return {200, "text/html; charset=utf-8", std::string(page::page_html), {}};
      if (uri == "/page.js") {
        return {200, "text/javascript; charset=utf-8", std::string(page::page_js), {}};
      }
      if (uri == "/page.css")
        return {200, "text/css; charset=utf-8", std::string(page::page_css), {}};
      if (uri == "/api/state") return json_response(state());
      if (uri == "/api/graph") return graph(query);
      return text_response(404, "not found");
    }
    if (method != "POST") return text_response(405, "method not allowed");
    if (header(conn, kCustomHeader) != "1") {
      return text_response(403, std::string("forbidden: a request without ") + kCustomHeader);
    }
    const std::string origin = header(conn, "Origin");
    const std::string site = header(conn, "Sec-Fetch-Site");
    if ((origin.empty() && site.empty()) ||
        (!origin.empty() &&
         (!origin.starts_with("http://") || !allowed_host(std::string_view(origin).substr(7)))) ||
        (!site.empty() && site != "same-origin")) {
      return text_response(403, "forbidden: not from the page");
    }
    if (!header(conn, "Content-Type").starts_with("application/json")) {
      return text_response(415, "a JSON request is expected");
    }
    if (info->content_length > static_cast<long long>(kMaxBody)) {
      return text_response(413, "request too large");
    }
    std::string body;
    char buffer[65536];
    for (int n; (n = mg_read(conn, buffer, sizeof buffer)) > 0;) {
      body.append(buffer, static_cast<std::size_t>(n));
      if (body.size() > kMaxBody) return text_response(413, "request too large");
    }
    const Value request = body.empty() ? Value::object() : json::parse(body, "the request");
    if (!request.is_object()) return error_response(400, "the request must be a JSON object");
    return post(uri, request);
  }

  void finish() {
    const std::lock_guard lock(mutex_);
    finished_ = true;
    changed_.notify_all();
  }

  void touch() {
    const std::lock_guard lock(mutex_);
    last_request_ = Clock::now();
    closing_.reset();
  }

  Value state() {
    const std::lock_guard lock(mutex_);
    json::Array list;
    for (std::size_t i = 0; i < notebooks_.size(); ++i) {
      list.push_back(notebook_state(*notebooks_[i], i));
    }
    return Value(json::Object{{"notebooks", Value(std::move(list))}});
  }

  Response graph(const std::string& query) {
    const std::size_t i = notebook_index(pair_value(query, "notebook", '&').value_or(""));
    const std::lock_guard lock(graphs_->mutex);
    if (!graphs_->done[i]) return json_response(Value(json::Object{{"state", Value("pending")}}));
    return json_response(*graphs_->done[i]);
  }

  std::size_t notebook_index(const std::string& text) const {
    char* end = nullptr;
    const unsigned long i = std::strtoul(text.c_str(), &end, 10);
    if (text.empty() || *end != '\0' || i >= notebooks_.size()) {
      throw ValueError("no notebook " + text);
    }
    return i;
  }

  std::size_t notebook_index(const Value& request) const {
    const Value* n = request.find("notebook");
    if (n == nullptr || !n->is_int()) throw ValueError("the request names no notebook");
    return notebook_index(std::to_string(n->as_int()));
  }

  Response post(const std::string& uri, const Value& request) {
    if (uri == "/api/heartbeat") return json_response(Value::object());
    if (uri == "/api/close") {
      const std::lock_guard lock(mutex_);
      closing_ = Clock::now();
      changed_.notify_all();
      return json_response(Value::object());
    }
    const std::size_t i = notebook_index(request);
    const std::lock_guard lock(mutex_);
    NotebookFile& nb = *notebooks_[i];
    if (uri == "/api/decide") {
      if (nb.saved()) return error_response(409, nb.shown() + " is saved already");
      const Value* key = request.find("key");
      const Value* take = request.find("take");
      const Value* text = request.find("text");
      if (key == nullptr || !key->is_string()) return error_response(400, "no conflict named");
      std::optional<Decision> decision;
      if (take != nullptr && !take->is_null()) {
        const auto t = take->is_string() ? take_from_name(take->as_string()) : std::nullopt;
        if (!t) return error_response(400, "take current, incoming, both or edit");
        decision = Decision{*t, text && text->is_string() ? std::string(text->as_string()) : ""};
      }
      try {
        nb.resolution().decide(std::string(key->as_string()), decision);
      } catch (const ValueError& e) {
        return error_response(409, e.what());
      }
      return json_response(notebook_state(nb, i));
    }
    if (uri == "/api/save") {
      try {
        if (!nb.saved()) options_.save(nb);
      } catch (const Error& e) {
        return error_response(409, e.what());
      }
      bool all = true;
      for (const auto& other : notebooks_) all = all && other->saved();
      if (all) {
        finished_ = true;
        changed_.notify_all();
      }
      return json_response(
          Value(json::Object{{"notebook", notebook_state(nb, i)}, {"all_saved", Value(all)}}));
    }
    return text_response(404, "not found");
  }

  std::vector<std::unique_ptr<NotebookFile>>& notebooks_;
  const ServeOptions& options_;
  const std::string token_, session_;
  std::shared_ptr<Graphs> graphs_;
  int port_ = 0;
  std::string port_suffix_;  // ":<port>"
  std::mutex mutex_;
  std::condition_variable changed_;
  Clock::time_point last_request_;
  std::optional<Clock::time_point> closing_;
  bool token_used_ = false;
  bool finished_ = false;
};

}  // namespace

json::Value notebook_state(const NotebookFile& notebook, std::size_t index) {
  const Resolution& r = notebook.resolution();
  json::Array conflicts;
  for (const Conflict& c : r.conflicts()) {
    json::Array ids;
    for (const std::string& id : c.component_ids) ids.emplace_back(id);
    const auto d = r.decisions().find(c.key);
    json::Object entry{
        {"key", Value(c.key)},
        {"kind", Value(kind_name(c.kind))},
        {"label", Value(c.label)},
        {"name", Value(c.name)},
        {"what", Value(c.what)},
        {"cell", Value(static_cast<long long>(c.cell))},
        {"component_ids", Value(std::move(ids))},
        {"base", optional_text(c.base)},
        {"current", optional_text(c.current)},
        {"incoming", optional_text(c.incoming)},
        {"result", optional_text(r.result_text(c.key))},
        {"decision", d == r.decisions().end() ? Value() : Value(take_name(d->second.take))},
        {"can_current", Value(c.can_current)},
        {"can_incoming", Value(c.can_incoming)},
        {"can_both", Value(c.can_both)},
        {"can_edit", Value(c.can_edit)},
        {"edit_start",
         Value(d != r.decisions().end() && d->second.take == Take::kEdit ? d->second.text
                                                                         : c.edit_start)}};
    conflicts.emplace_back(std::move(entry));
  }
  json::Array problems, review;
  const std::vector<std::string> left = r.problems();
  for (const std::string& p : left) problems.emplace_back(p);
  for (const ReviewItem& item : r.review()) {
    review.emplace_back(json::Object{{"cell", Value(static_cast<long long>(item.cell))},
                                     {"component_id", Value(item.component_id)},
                                     {"text", Value(item.text)}});
  }
  return Value(json::Object{{"index", Value(static_cast<long long>(index))},
                            {"path", Value(notebook.shown())},
                            {"total", Value(static_cast<long long>(r.conflicts().size()))},
                            {"left", Value(static_cast<long long>(r.left()))},
                            {"saved", Value(notebook.saved())},
                            {"can_save", Value(left.empty() && !notebook.saved())},
                            {"conflicts", Value(std::move(conflicts))},
                            {"problems", Value(std::move(problems))},
                            {"review", Value(std::move(review))}});
}

bool serve(std::vector<std::unique_ptr<NotebookFile>>& notebooks, const ServeOptions& options) {
  Server server(notebooks, options);
  return server.run();
}

}  // namespace qor::resolve
