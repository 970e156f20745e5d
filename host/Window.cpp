#include "Window.h"

#include "Captions.h"

#include <array>
#include <gtkmm.h>
#include <iostream>

namespace zorva::host {

namespace {

bool keepAboveSupported(Gtk::Window& window);
void setKeepAbove(Gtk::Window& window, bool above);

// Follows the desktop's light or dark preference where GNOME's settings
// say it; elsewhere GTK's own theme setting holds.
void followDesktopStyle(std::vector<Glib::RefPtr<Gio::Settings>>& keep) {
    auto source = Gio::SettingsSchemaSource::get_default();
    auto schema = source ? source->lookup("org.gnome.desktop.interface", true) : nullptr;
    if (!schema || !schema->has_key("color-scheme"))
        return;
    auto settings = Gio::Settings::create("org.gnome.desktop.interface");
    auto apply = [settings] {
        Gtk::Settings::get_default()->property_gtk_application_prefer_dark_theme() =
            settings->get_string("color-scheme") == "prefer-dark";
    };
    apply();
    settings->signal_changed("color-scheme").connect([apply](const Glib::ustring&) { apply(); });
    keep.push_back(settings);
}

// "03:07", or "1:03:07" past an hour.
std::string durationText(std::chrono::seconds s) {
    const std::string clock =
        clockText(std::chrono::duration_cast<std::chrono::milliseconds>(s).count());
    return clock.substr(1, clock.size() - 2); // without its brackets
}

} // namespace

class CaptionWindow::View {
public:
    View(CaptionWindow& owner, Glib::RefPtr<Gtk::Application> app)
        : owner_(owner), app_(std::move(app)) {
        window_.set_title("Zorva captions");
        window_.set_default_size(560, 360);
        window_.set_icon_name("zorva");
        window_.set_child(column_);
        column_.set_margin(10);
        column_.set_spacing(8);

        state_.set_xalign(0);
        state_.set_hexpand(true);
        state_.add_css_class("title-4");
        pause_.set_label("Pause");
        pause_.set_tooltip_text("Stop transcribing; resume starts a new transcript");
        above_.set_label("Keep above");
        size_.set_range(10, 48);
        size_.set_increments(1, 4);
        size_.set_value(owner_.textSize_);
        size_.set_tooltip_text("Text size");
        gtk_accessible_update_property(GTK_ACCESSIBLE(size_.gobj()), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                       "Text size", -1);
        top_.set_spacing(8);
        top_.append(state_);
        top_.append(size_);
        top_.append(above_);
        top_.append(pause_);
        column_.append(top_);

        buffer_ = Gtk::TextBuffer::create();
        text_.set_buffer(buffer_);
        text_.set_editable(false);
        text_.set_cursor_visible(false);
        text_.set_wrap_mode(Gtk::WrapMode::WORD_CHAR);
        text_.set_left_margin(6);
        text_.set_right_margin(6);
        text_.add_css_class("captions");
        gtk_accessible_update_property(GTK_ACCESSIBLE(text_.gobj()), GTK_ACCESSIBLE_PROPERTY_LABEL,
                                       "Captions", -1);
        // The user at the left, the others indented: told apart at a glance.
        // (No colour on the text itself: GTK 4.8 ends the program when a
        // screen reader asks for the attributes of coloured text.)
        auto you = buffer_->create_tag("you");
        you->property_left_margin() = 6;
        you->property_pixels_below_lines() = 4;
        auto them = buffer_->create_tag("them");
        them->property_left_margin() = 60;
        them->property_pixels_below_lines() = 4;
        buffer_->create_tag("name")->property_weight() = Pango::Weight::BOLD;
        end_ = buffer_->create_mark(buffer_->end(), false);
        scroller_.set_child(text_);
        scroller_.set_vexpand(true);
        column_.append(scroller_);
        // Each side's partial on a line of its own below, greyed, replaced
        // in place; the lines are always there, so nothing moves.
        for (Speaker who : {Speaker::you, Speaker::them}) {
            Gtk::Label& line = partialLines_[index(who)];
            line.set_xalign(0);
            line.set_single_line_mode(true);
            line.set_ellipsize(Pango::EllipsizeMode::START); // the newest words show
            line.set_margin_start(who == Speaker::you ? 6 : 60);
            line.add_css_class("partial");
            line.set_text(" ");
            column_.append(line);
        }

        note_.set_xalign(0);
        note_.set_wrap(true);
        note_.add_css_class("dim-label");
        column_.append(note_);
        path_.set_xalign(0);
        path_.set_hexpand(true);
        path_.set_ellipsize(Pango::EllipsizeMode::MIDDLE);
        path_.set_selectable(true);
        path_.set_text("No transcript yet");
        open_.set_label("Open transcript");
        open_.set_sensitive(false);
        bottom_.set_spacing(8);
        bottom_.append(path_);
        bottom_.append(open_);
        column_.append(bottom_);

        css_ = Gtk::CssProvider::create();
        Gtk::StyleContext::add_provider_for_display(Gdk::Display::get_default(), css_,
                                                    GTK_STYLE_PROVIDER_PRIORITY_APPLICATION);
        applyTextSize(owner_.textSize_);
        followDesktopStyle(settings_);
        showState();

        pause_.signal_toggled().connect([this] {
            const bool paused = pause_.get_active();
            pause_.set_label(paused ? "Resume" : "Pause");
            showState();
            if (owner_.controls_.pause)
                owner_.controls_.pause(paused);
        });
        above_.signal_toggled().connect([this] { setKeepAbove(window_, above_.get_active()); });
        size_.signal_value_changed().connect([this] {
            const int size = size_.get_value_as_int();
            applyTextSize(size);
            if (owner_.controls_.textSize)
                owner_.controls_.textSize(size);
        });
        open_.signal_clicked().connect([this] {
            try {
                Gio::AppInfo::launch_default_for_uri(Glib::filename_to_uri(transcriptPath_));
            } catch (const Glib::Error& e) {
                note_.set_text("Cannot open the transcript: " + safeText(e.what()));
            }
        });
        // Closing ends the session cleanly, as SIGTERM does; the window goes
        // at once and the program when the transcript is saved.
        window_.signal_close_request().connect(
            [this] {
                window_.set_visible(false);
                if (!ended_ && owner_.controls_.close)
                    owner_.controls_.close();
                return !ended_;
            },
            false);
        tick_ = Glib::signal_timeout().connect_seconds(
            [this] {
                showState();
                return true;
            },
            1);
        dispatcher_.connect([this] { drain(); });
        app_->add_window(window_);
        window_.set_focus(text_);
        window_.present();
        // Only an X11 window manager can be asked from here; on Wayland the
        // compositor's own window menu does it.
        if (!keepAboveSupported(window_)) {
            above_.set_sensitive(false);
            above_.set_tooltip_text("On Wayland, use the window menu's \"Always on Top\"");
        }
    }

    ~View() { tick_.disconnect(); }

    void wake() { dispatcher_.emit(); }

private:
    void drain() {
        std::deque<Event> events;
        {
            std::lock_guard g(owner_.lock_);
            events.swap(owner_.events_);
        }
        bool partialsChanged = false;
        for (auto& e : events) {
            switch (e.kind) {
            case Event::Kind::note:
                note_.set_text(e.text);
                break;
            case Event::Kind::partial:
                partials_[index(e.who)] = std::move(e.text);
                partialsChanged = true;
                break;
            case Event::Kind::final:
                appendFinal(e.who, e.text);
                partials_[index(e.who)].clear();
                partialsChanged = true;
                break;
            case Event::Kind::clearPartials:
                partials_ = {};
                partialsChanged = true;
                break;
            case Event::Kind::session:
                appName_ = e.present ? std::optional(e.text) : std::nullopt;
                since_ = std::chrono::steady_clock::now();
                showState();
                break;
            case Event::Kind::transcript:
                transcriptPath_ = e.text;
                path_.set_text(safeText(e.text));
                open_.set_sensitive(true);
                break;
            case Event::Kind::ended:
                ended_ = true;
                window_.set_visible(false);
                app_->remove_window(window_);
                app_->quit();
                return;
            }
        }
        // One change for all the partials of this round.
        if (partialsChanged)
            drawPartials();
    }

    static std::size_t index(Speaker who) { return who == Speaker::you ? 0 : 1; }

    void appendFinal(Speaker who, const std::string& text) {
        const bool atBottom = followBottom();
        const Glib::ustring side = who == Speaker::you ? "you" : "them";
        if (buffer_->size() > 0)
            buffer_->insert(buffer_->end(), "\n");
        buffer_->insert_with_tags_by_name(buffer_->end(), std::string(label(who)) + ": ",
                                          std::vector<Glib::ustring>{side, "name"});
        buffer_->insert_with_tags_by_name(buffer_->end(), safeText(text),
                                          std::vector<Glib::ustring>{side});
        if (atBottom)
            text_.scroll_to(end_);
    }

    void drawPartials() {
        for (Speaker who : {Speaker::you, Speaker::them}) {
            const std::string& text = partials_[index(who)];
            const std::string shown =
                text.empty() ? " " : std::string(label(who)) + ": " + safeText(text);
            Gtk::Label& line = partialLines_[index(who)];
            if (line.get_text().raw() != shown)
                line.set_text(shown);
        }
    }

    bool followBottom() {
        auto adj = scroller_.get_vadjustment();
        return !adj || adj->get_value() + adj->get_page_size() >= adj->get_upper() - 4;
    }

    void showState() {
        if (!appName_) {
            state_.set_text(pause_.get_active() ? "Captions paused" : "Waiting for a call");
            return;
        }
        const auto lasted = std::chrono::duration_cast<std::chrono::seconds>(
            std::chrono::steady_clock::now() - since_);
        state_.set_text(safeText(*appName_) + " · " + durationText(lasted));
    }

    void applyTextSize(int size) {
        css_->load_from_data(
            "textview.captions, label.partial { font-size: " + std::to_string(size) +
            "pt; } label.partial { font-style: italic; opacity: 0.6; }");
    }

    CaptionWindow& owner_;
    Glib::RefPtr<Gtk::Application> app_;
    Gtk::Window window_;
    Gtk::Box column_{Gtk::Orientation::VERTICAL}, top_, bottom_;
    Gtk::Label state_, note_, path_;
    Gtk::ToggleButton pause_;
    Gtk::CheckButton above_;
    Gtk::SpinButton size_;
    Gtk::ScrolledWindow scroller_;
    Gtk::TextView text_;
    Gtk::Button open_;
    Glib::RefPtr<Gtk::TextBuffer> buffer_;
    Glib::RefPtr<Gtk::TextMark> end_;
    std::array<Gtk::Label, 2> partialLines_;
    Glib::RefPtr<Gtk::CssProvider> css_;
    std::vector<Glib::RefPtr<Gio::Settings>> settings_;
    std::array<std::string, 2> partials_;
    std::optional<std::string> appName_;
    std::chrono::steady_clock::time_point since_;
    std::string transcriptPath_;
    sigc::connection tick_;
    Glib::Dispatcher dispatcher_;
    bool ended_ = false;
};

CaptionWindow::CaptionWindow(int textSize, Controls controls)
    : controls_(std::move(controls)), textSize_(textSize) {}

CaptionWindow::~CaptionWindow() = default;

bool CaptionWindow::displayAvailable() {
    return gtk_init_check();
}

int CaptionWindow::run() {
    auto app = Gtk::Application::create("app.zorva.Zorva", Gio::Application::Flags::NON_UNIQUE);
    app->signal_activate().connect([this, app] {
        if (view_)
            return;
        std::lock_guard g(lock_);
        view_ = std::make_unique<View>(*this, app);
        if (!events_.empty())
            view_->wake();
    });
    // Held until the host ends: closing the window alone does not end GTK.
    app->hold();
    const int status = app->run();
    {
        std::lock_guard g(lock_);
        view_.reset();
    }
    return status;
}

void CaptionWindow::hostEnded() {
    post({Event::Kind::ended, Speaker::you, ""});
}

void CaptionWindow::post(Event event) {
    std::lock_guard g(lock_);
    events_.push_back(std::move(event));
    if (view_)
        view_->wake();
}

void CaptionWindow::onBroken(std::function<void()> broken) {
    broken_ = std::move(broken);
}

void CaptionWindow::note(const std::string& text) {
    // Also as a plain line, for a terminal or the journal: what the window
    // said is still there after it has gone.
    std::cout << safeText(text, " ") << std::endl;
    post({Event::Kind::note, Speaker::you, safeText(text)});
}

void CaptionWindow::partial(Speaker who, int64_t, const std::string& text) {
    post({Event::Kind::partial, who, text});
}

void CaptionWindow::final(Speaker who, int64_t, const std::string& text) {
    post({Event::Kind::final, who, text});
}

void CaptionWindow::clearPartials() {
    post({Event::Kind::clearPartials, Speaker::you, ""});
}

void CaptionWindow::session(std::optional<std::string> app) {
    post({Event::Kind::session, Speaker::you, app.value_or(""), app.has_value()});
}

void CaptionWindow::transcript(const std::string& path) {
    post({Event::Kind::transcript, Speaker::you, path});
}

} // namespace zorva::host

// X11's headers define names (Window, None, Status) that clash with GTK's
// C++ API: they come last, for these two functions only.
#include <gdk/x11/gdkx.h>

namespace zorva::host {
namespace {

bool keepAboveSupported(Gtk::Window& window) {
    auto surface = window.get_surface();
    return surface && GDK_IS_X11_SURFACE(surface->gobj());
}

void setKeepAbove(Gtk::Window& window, bool above) {
    auto surface = window.get_surface();
    if (!surface || !GDK_IS_X11_SURFACE(surface->gobj()))
        return;
    GdkSurface* s = surface->gobj();
    ::Display* display = gdk_x11_display_get_xdisplay(gdk_surface_get_display(s));
    XEvent event{};
    event.xclient.type = ClientMessage;
    event.xclient.window = gdk_x11_surface_get_xid(s);
    event.xclient.message_type = XInternAtom(display, "_NET_WM_STATE", False);
    event.xclient.format = 32;
    event.xclient.data.l[0] = above ? 1 : 0; // _NET_WM_STATE_ADD or _REMOVE
    event.xclient.data.l[1] = static_cast<long>(XInternAtom(display, "_NET_WM_STATE_ABOVE", False));
    event.xclient.data.l[3] = 1; // from an application
    XSendEvent(display, DefaultRootWindow(display), False,
               SubstructureRedirectMask | SubstructureNotifyMask, &event);
    XFlush(display);
}

} // namespace
} // namespace zorva::host
