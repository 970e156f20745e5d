#include "Notifications.h"

#include <gio/gio.h>
#include <map>
#include <thread>

namespace zorva::host {

namespace {

constexpr const char* kService = "org.freedesktop.Notifications";
constexpr const char* kPath = "/org/freedesktop/Notifications";
constexpr int kCallTimeoutMs = 5000;
constexpr unsigned kFlushAtExitMs = 2000;

std::string errorText(GError* error) {
    std::string text = error && error->message ? error->message : "unknown error";
    g_clear_error(&error);
    return text;
}

} // namespace

// Everything here but the constructor's and destructor's start and end runs
// on the thread, which owns the context.
struct DesktopNotifications::Loop {
    std::function<void(const std::string&)> note;
    GMainContext* context = g_main_context_new();
    GMainLoop* loop = g_main_loop_new(context, FALSE);
    GDBusConnection* bus = nullptr;
    guint actions = 0, closed = 0;
    std::map<guint32, std::string> openPaths; // shown notifications with a file
    int pending = 0;                          // calls not answered yet
    bool unavailable = false;                 // said so already
    bool closing = false;
    std::thread thread;

    struct Call {
        Loop* loop;
        std::string openPath;
    };

    void run() {
        g_main_context_push_thread_default(context);
        connect();
        g_main_loop_run(loop);
        if (bus) {
            g_dbus_connection_signal_unsubscribe(bus, actions);
            g_dbus_connection_signal_unsubscribe(bus, closed);
            g_dbus_connection_close_sync(bus, nullptr, nullptr);
            g_object_unref(bus);
            bus = nullptr;
        }
        // Calls cut short by the close still answer, here: each once.
        while (pending > 0)
            g_main_context_iteration(context, TRUE);
        while (g_main_context_iteration(context, FALSE)) {
        }
        g_main_context_pop_thread_default(context);
    }

    void unavailableOnce(const std::string& why) {
        if (unavailable || closing)
            return;
        unavailable = true;
        note("no desktop notifications: " + why);
    }

    void connect() {
        GError* error = nullptr;
        gchar* address = g_dbus_address_get_for_bus_sync(G_BUS_TYPE_SESSION, nullptr, &error);
        if (!address) {
            unavailableOnce(errorText(error));
            return;
        }
        // A connection of our own: the shared one ends the process when the
        // bus goes away.
        bus = g_dbus_connection_new_for_address_sync(
            address,
            GDBusConnectionFlags(G_DBUS_CONNECTION_FLAGS_AUTHENTICATION_CLIENT |
                                 G_DBUS_CONNECTION_FLAGS_MESSAGE_BUS_CONNECTION),
            nullptr, nullptr, &error);
        g_free(address);
        if (!bus) {
            unavailableOnce(errorText(error));
            return;
        }
        actions = g_dbus_connection_signal_subscribe(bus, nullptr, kService, "ActionInvoked", kPath,
                                                     nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
                                                     onActionInvoked, this, nullptr);
        closed = g_dbus_connection_signal_subscribe(bus, nullptr, kService, "NotificationClosed",
                                                    kPath, nullptr, G_DBUS_SIGNAL_FLAGS_NONE,
                                                    onClosed, this, nullptr);
    }

    void show(const Notification& n) {
        if (!bus)
            return;
        GVariantBuilder actionList;
        g_variant_builder_init(&actionList, G_VARIANT_TYPE("as"));
        if (!n.openPath.empty()) {
            // "default" is a click on the notification itself.
            for (const char* key : {"default", "open"}) {
                g_variant_builder_add(&actionList, "s", key);
                g_variant_builder_add(&actionList, "s", "Open transcript");
            }
        }
        GVariantBuilder hints;
        g_variant_builder_init(&hints, G_VARIANT_TYPE("a{sv}"));
        g_variant_builder_add(&hints, "{sv}", "urgency", g_variant_new_byte(1));
        // Servers may read the body as markup.
        gchar* body = g_markup_escape_text(n.body.c_str(), -1);
        GVariant* args = g_variant_new("(susssasa{sv}i)", "zorva", 0u, "audio-input-microphone",
                                       n.summary.c_str(), body, &actionList, &hints, -1);
        g_free(body);
        ++pending;
        g_dbus_connection_call(bus, kService, kPath, kService, "Notify", args,
                               G_VARIANT_TYPE("(u)"), G_DBUS_CALL_FLAGS_NONE, kCallTimeoutMs,
                               nullptr, onShown, new Call{this, n.openPath});
    }

    static void onShown(GObject* source, GAsyncResult* result, gpointer data) {
        std::unique_ptr<Call> call(static_cast<Call*>(data));
        Loop& self = *call->loop;
        GError* error = nullptr;
        GVariant* reply = g_dbus_connection_call_finish(G_DBUS_CONNECTION(source), result, &error);
        if (reply) {
            guint32 id = 0;
            g_variant_get(reply, "(u)", &id);
            g_variant_unref(reply);
            if (!call->openPath.empty())
                self.openPaths[id] = call->openPath;
        } else {
            self.unavailableOnce(errorText(error));
        }
        if (--self.pending == 0 && self.closing)
            g_main_loop_quit(self.loop);
    }

    static void onActionInvoked(GDBusConnection*, const gchar*, const gchar*, const gchar*,
                                const gchar*, GVariant* parameters, gpointer data) {
        Loop& self = *static_cast<Loop*>(data);
        guint32 id = 0;
        const gchar* key = nullptr;
        g_variant_get(parameters, "(u&s)", &id, &key);
        auto it = self.openPaths.find(id);
        if (it == self.openPaths.end())
            return;
        GFile* file = g_file_new_for_path(it->second.c_str());
        gchar* uri = g_file_get_uri(file);
        g_object_unref(file);
        GError* error = nullptr;
        if (!g_app_info_launch_default_for_uri(uri, nullptr, &error))
            self.note("cannot open " + it->second + ": " + errorText(error));
        g_free(uri);
    }

    static void onClosed(GDBusConnection*, const gchar*, const gchar*, const gchar*, const gchar*,
                         GVariant* parameters, gpointer data) {
        guint32 id = 0, reason = 0;
        g_variant_get(parameters, "(uu)", &id, &reason);
        static_cast<Loop*>(data)->openPaths.erase(id);
    }

    // Runs `work` on the thread.
    void post(std::function<void()> work) {
        g_main_context_invoke_full(
            context, G_PRIORITY_DEFAULT,
            [](gpointer w) -> gboolean {
                (*static_cast<std::function<void()>*>(w))();
                return G_SOURCE_REMOVE;
            },
            new std::function<void()>(std::move(work)),
            [](gpointer w) { delete static_cast<std::function<void()>*>(w); });
    }
};

DesktopNotifications::DesktopNotifications(std::function<void(const std::string&)> note)
    : loop_(std::make_unique<Loop>()) {
    loop_->note = std::move(note);
    loop_->thread = std::thread([loop = loop_.get()] { loop->run(); });
}

DesktopNotifications::~DesktopNotifications() {
    Loop* loop = loop_.get();
    loop->post([loop] {
        loop->closing = true;
        if (loop->pending == 0) {
            g_main_loop_quit(loop->loop);
            return;
        }
        GSource* timeout = g_timeout_source_new(kFlushAtExitMs);
        g_source_set_callback(
            timeout,
            [](gpointer l) -> gboolean {
                g_main_loop_quit(static_cast<Loop*>(l)->loop);
                return G_SOURCE_REMOVE;
            },
            loop, nullptr);
        g_source_attach(timeout, loop->context);
        g_source_unref(timeout);
    });
    loop->thread.join();
    g_main_loop_unref(loop->loop);
    g_main_context_unref(loop->context);
}

void DesktopNotifications::show(const Notification& notification) {
    loop_->post([loop = loop_.get(), notification] { loop->show(notification); });
}

} // namespace zorva::host
