#include "SessionBus.h"

#include <condition_variable>
#include <filesystem>
#include <future>
#include <gio/gio.h>
#include <stdexcept>
#include <thread>
#include <unistd.h>

namespace zorva::test {

namespace {

constexpr const char* kDaemon = "/usr/bin/dbus-daemon";
constexpr const char* kPath = "/org/freedesktop/Notifications";
constexpr const char* kInterface = "org.freedesktop.Notifications";
constexpr const char* kXml = R"(<node>
  <interface name="org.freedesktop.Notifications">
    <method name="Notify">
      <arg type="s" direction="in"/><arg type="u" direction="in"/>
      <arg type="s" direction="in"/><arg type="s" direction="in"/>
      <arg type="s" direction="in"/><arg type="as" direction="in"/>
      <arg type="a{sv}" direction="in"/><arg type="i" direction="in"/>
      <arg type="u" direction="out"/>
    </method>
    <method name="CloseNotification"><arg type="u" direction="in"/></method>
    <method name="GetCapabilities"><arg type="as" direction="out"/></method>
    <method name="GetServerInformation">
      <arg type="s" direction="out"/><arg type="s" direction="out"/>
      <arg type="s" direction="out"/><arg type="s" direction="out"/>
    </method>
    <signal name="ActionInvoked"><arg type="u"/><arg type="s"/></signal>
    <signal name="NotificationClosed"><arg type="u"/><arg type="u"/></signal>
  </interface>
</node>)";

} // namespace

SessionBus::SessionBus() {
    char pattern[] = "/tmp/zorva-bus-XXXXXX";
    if (!::mkdtemp(pattern))
        throw std::runtime_error("mkdtemp");
    dir_ = pattern;
    daemon_ = std::make_unique<ChildProcess>(
        kDaemon,
        std::vector<std::string>{"--session", "--nofork", "--nopidfile", "--print-address=1",
                                 "--address=unix:path=" + dir_ + "/bus"});
    auto line = daemon_->readLine(std::chrono::seconds(10));
    if (!line)
        throw std::runtime_error("dbus-daemon did not start: " + daemon_->stderrText());
    address_ = *line;
}

SessionBus::~SessionBus() {
    daemon_.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

bool SessionBus::available() {
    return ::access(kDaemon, X_OK) == 0;
}

struct NotificationService::State {
    GMainContext* context = g_main_context_new();
    GMainLoop* loop = g_main_loop_new(context, FALSE);
    GDBusConnection* bus = nullptr;
    guint object = 0;
    std::mutex lock;
    std::condition_variable changed;
    std::vector<Shown> shown;
    std::thread thread;

    static void onCall(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                       const gchar* method, GVariant* parameters, GDBusMethodInvocation* invocation,
                       gpointer data) {
        auto& self = *static_cast<State*>(data);
        const std::string name = method;
        if (name == "Notify") {
            const gchar *app = nullptr, *icon = nullptr, *summary = nullptr, *body = nullptr;
            guint32 replaces = 0;
            gint32 timeout = 0;
            GVariantIter* actions = nullptr;
            GVariant* hints = nullptr;
            g_variant_get(parameters, "(&su&s&s&sas@a{sv}i)", &app, &replaces, &icon, &summary,
                          &body, &actions, &hints, &timeout);
            Shown shown{0, app, summary, body, {}};
            const gchar* action = nullptr;
            while (g_variant_iter_loop(actions, "&s", &action))
                shown.actions.push_back(action);
            g_variant_iter_free(actions);
            g_variant_unref(hints);
            // Answered before it is seen, so that a click comes after the answer.
            std::unique_lock g(self.lock);
            shown.id = static_cast<uint32_t>(self.shown.size() + 1);
            g_dbus_method_invocation_return_value(invocation, g_variant_new("(u)", shown.id));
            self.shown.push_back(shown);
            g.unlock();
            self.changed.notify_all();
        } else if (name == "GetCapabilities") {
            const gchar* caps[] = {"actions", "body", nullptr};
            g_dbus_method_invocation_return_value(
                invocation, g_variant_new("(^as)", const_cast<gchar**>(caps)));
        } else if (name == "GetServerInformation") {
            g_dbus_method_invocation_return_value(
                invocation, g_variant_new("(ssss)", "test", "zorva", "1", "1.2"));
        } else {
            g_dbus_method_invocation_return_value(invocation, nullptr);
        }
    }
};

NotificationService::NotificationService(const std::string& busAddress)
    : state_(std::make_unique<State>()) {
    std::promise<std::string> ready;
    auto started = ready.get_future();
    state_->thread = std::thread([s = state_.get(), busAddress, &ready] {
        g_main_context_push_thread_default(s->context);
        GError* error = nullptr;
        s->bus = g_dbus_connection_new_for_address_sync(
            busAddress.c_str(),
            GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                 G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &error);
        GDBusNodeInfo* node = s->bus ? g_dbus_node_info_new_for_xml(kXml, &error) : nullptr;
        if (node) {
            static const GDBusInterfaceVTable vtable{State::onCall, nullptr, nullptr, {}};
            s->object = g_dbus_connection_register_object(s->bus, kPath, node->interfaces[0],
                                                          &vtable, s, nullptr, &error);
            g_dbus_node_info_unref(node);
        }
        GVariant* owned =
            s->object
                ? g_dbus_connection_call_sync(
                      s->bus, "org.freedesktop.DBus", "/org/freedesktop/DBus",
                      "org.freedesktop.DBus", "RequestName", g_variant_new("(su)", kInterface, 4u),
                      G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, 5000, nullptr, &error)
                : nullptr;
        if (owned)
            g_variant_unref(owned);
        ready.set_value(owned ? "" : error ? error->message : "failed");
        g_clear_error(&error);
        if (owned)
            g_main_loop_run(s->loop);
        if (s->bus) {
            if (s->object)
                g_dbus_connection_unregister_object(s->bus, s->object);
            g_dbus_connection_close_sync(s->bus, nullptr, nullptr);
            g_object_unref(s->bus);
        }
        while (g_main_context_iteration(s->context, FALSE)) {
        }
        g_main_context_pop_thread_default(s->context);
    });
    const std::string failure = started.get();
    if (!failure.empty()) {
        state_->thread.join();
        throw std::runtime_error("notification service: " + failure);
    }
}

NotificationService::~NotificationService() {
    g_main_context_invoke(
        state_->context,
        [](gpointer loop) -> gboolean {
            g_main_loop_quit(static_cast<GMainLoop*>(loop));
            return G_SOURCE_REMOVE;
        },
        state_->loop);
    state_->thread.join();
    g_main_loop_unref(state_->loop);
    g_main_context_unref(state_->context);
}

std::vector<NotificationService::Shown>
NotificationService::shown(std::size_t count, std::chrono::milliseconds limit) {
    std::unique_lock g(state_->lock);
    state_->changed.wait_for(g, limit, [&] { return state_->shown.size() >= count; });
    return state_->shown;
}

void NotificationService::invoke(uint32_t id, const std::string& key) {
    g_dbus_connection_emit_signal(state_->bus, nullptr, kPath, kInterface, "ActionInvoked",
                                  g_variant_new("(us)", id, key.c_str()), nullptr);
}

} // namespace zorva::test
