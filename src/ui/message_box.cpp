// Message boxes: the Message built-in and the question before quitting.
#include "ui/boxes.h"

#include "frame/engine.h"
#include "frame/frame.h"
#include "frame/startup_hooks.h"
#include "persist/settings.h"
#include "platform/encoding.h"
#include "platform/thread.h"
#include "platform/window.h"
#include "script/expressions.h"
#include "script/scanner.h"
#include "ui/input_hooks.h"

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <memory>

namespace kestrune::ui {

namespace {

constexpr std::size_t k_box_text_bytes = 511;
constexpr std::int32_t k_button_width = 96;
constexpr std::int32_t k_button_height = 28;
constexpr std::int32_t k_margin = 20;
constexpr std::int32_t k_icon_size = 36;
constexpr std::int32_t k_max_text_width = 600;
constexpr std::int32_t k_title_height = 28;

struct ButtonInfo {
    const char* label;
    std::int32_t code;
    char letter;
};

std::vector<ButtonInfo> buttons_of(BoxButtons set) {
    switch (set) {
    case BoxButtons::ok_cancel:
        return {{"确定", k_box_ok, 0}, {"取消", k_box_cancel, 0}};
    case BoxButtons::yes_no:
        return {{"是(Y)", k_box_yes, 'Y'}, {"否(N)", k_box_no, 'N'}};
    case BoxButtons::yes_no_cancel:
        return {{"是(Y)", k_box_yes, 'Y'}, {"否(N)", k_box_no, 'N'}, {"取消", k_box_cancel, 0}};
    case BoxButtons::retry_cancel:
        return {{"重试(R)", k_box_retry, 'R'}, {"取消", k_box_cancel, 0}};
    case BoxButtons::abort_retry_ignore:
        return {{"中止(A)", k_box_abort, 'A'},
                {"重试(R)", k_box_retry, 'R'},
                {"忽略(I)", k_box_ignore, 'I'}};
    default:
        return {{"确定", k_box_ok, 0}};
    }
}

std::string upper(std::string_view word) {
    std::string out(word);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

// Lines of at most k_max_text_width pixels: broken at '\n' and, inside a long line, before
// the character that would not fit.
std::vector<std::u32string> wrap(const std::u32string& text) {
    std::vector<std::u32string> lines(1);
    for (char32_t cp : text) {
        if (cp == U'\r') continue;
        if (cp == U'\n') {
            lines.emplace_back();
            continue;
        }
        std::u32string next = lines.back() + cp;
        if (!lines.back().empty() && text_width(next) > k_max_text_width) {
            lines.emplace_back(1, cp);
        } else {
            lines.back() = std::move(next);
        }
    }
    return lines;
}

std::string window_title() {
    const std::string& title = persist::settings().window_title;
    return title.empty() ? std::string("Kestrune") : platform::gbk_to_utf8(title);
}

bool g_quit_question = false; // main thread

struct BoxRequest {
    platform::Event done{true, false};
    std::int32_t result = k_box_cancel;
};

// A backslash followed by n in a script's text breaks the line.
std::string expand_line_breaks(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        if (platform::is_lead_byte(c) && i + 1 < text.size()) {
            out += text.substr(i, 2);
            ++i;
        } else if (c == '\\' && i + 1 < text.size() && text[i + 1] == 'n') {
            out += '\n';
            ++i;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

// Caption and text are cut to 511 bytes, never inside a double-byte character.
std::string box_text(const script::Value& v) {
    const std::string text = script::value_text(v);
    return platform::gbk_to_utf8(
        expand_line_breaks(text.substr(0, script::fit_bytes(text, k_box_text_bytes))));
}

script::Value message_builtin(const script::BuiltinCall& call) {
    auto arg = [&](std::size_t i) {
        return i < call.args.size() ? script::value_text(call.args[i]) : std::string();
    };
    const std::string caption = call.args.empty() ? std::string() : box_text(call.args[0]);
    const std::string text = call.args.size() < 2 ? std::string() : box_text(call.args[1]);
    const BoxButtons buttons = box_buttons_of(arg(2));
    const BoxIcon icon = box_icon_of(arg(3));
    if (no_reader()) {
        const std::int32_t code = buttons_of(buttons).front().code;
        std::fprintf(stderr, "kestrune: message box \"%s\" answered %d: nobody can answer it\n",
                     caption.c_str(), code);
        return script::Value::of_number(code);
    }
    auto request = std::make_shared<BoxRequest>();
    // Rendering goes on while the box is up.
    const bool held = !(call.ctx && call.ctx->is_process_block) && engine::render_is_held();
    if (held) engine::render_release();
    run_on_main([request, caption, text, buttons, icon] {
        Overlay box = make_message_box(caption, text, buttons, icon);
        box.on_close = [request](std::int32_t id) {
            request->result = id;
            request->done.signal();
        };
        open_overlay(std::move(box));
    });
    while (!engine::quit_requested() && !platform::stop_requested()) {
        const std::uint32_t r = engine::wait_multi(engine::k_wait_quit, &request->done, 1000);
        if (r == engine::k_wait_extra || r == engine::k_wait_quit) break;
    }
    if (held && !engine::quit_requested()) engine::render_hold();
    return script::Value::of_number(request->done.is_signalled() ? request->result : k_box_cancel);
}

} // namespace

BoxButtons box_buttons_of(std::string_view word) {
    const std::string w = upper(word);
    if (w == "OKCANCEL") return BoxButtons::ok_cancel;
    if (w == "YESNO") return BoxButtons::yes_no;
    if (w == "YESNOCANCEL") return BoxButtons::yes_no_cancel;
    if (w == "RETRYCANCEL") return BoxButtons::retry_cancel;
    if (w == "ABORTRETRYIGNORE") return BoxButtons::abort_retry_ignore;
    return BoxButtons::ok;
}

BoxIcon box_icon_of(std::string_view word) {
    const std::string w = upper(word);
    if (w == "QUESTION") return BoxIcon::question;
    if (w == "INFORMATION") return BoxIcon::information;
    if (w == "EXCLAMATION") return BoxIcon::exclamation;
    if (w == "STOP") return BoxIcon::stop;
    return BoxIcon::none;
}

Overlay make_message_box(const std::string& caption, const std::string& text, BoxButtons set,
                         BoxIcon icon) {
    Overlay o;
    o.kind = OverlayKind::box;
    o.title = utf8_to_u32(caption);
    o.icon = icon;
    const std::vector<std::u32string> lines = wrap(utf8_to_u32(text));
    std::int32_t text_w = 0;
    for (const auto& line : lines) text_w = std::max(text_w, text_width(line));
    const std::int32_t text_h = static_cast<std::int32_t>(lines.size()) * k_overlay_line_height;
    const std::vector<ButtonInfo> infos = buttons_of(set);
    const auto count = static_cast<std::int32_t>(infos.size());
    const std::int32_t buttons_w = count * k_button_width + (count - 1) * 10;
    const std::int32_t icon_w = icon == BoxIcon::none ? 0 : k_icon_size + 16;
    const std::int32_t body_h = std::max(text_h, icon == BoxIcon::none ? 0 : k_icon_size);
    o.panel.w = std::max({icon_w + text_w, buttons_w, 240}) + 2 * k_margin;
    o.panel.h = k_title_height + k_margin + body_h + k_margin + k_button_height + 16;
    o.panel.x = (1024 - o.panel.w) / 2;
    o.panel.y = (576 - o.panel.h) / 2;
    const std::int32_t body_y = o.panel.y + k_title_height + k_margin;
    o.icon_rect = {o.panel.x + k_margin, body_y, k_icon_size, k_icon_size};
    for (std::size_t i = 0; i < lines.size(); ++i) {
        Widget label;
        label.kind = WidgetKind::label;
        label.text = lines[i];
        label.rect = {o.panel.x + k_margin + icon_w,
                      body_y + (body_h - text_h) / 2 +
                          static_cast<std::int32_t>(i) * k_overlay_line_height,
                      text_width(lines[i]), k_overlay_line_height};
        o.widgets.push_back(std::move(label));
    }
    std::int32_t x = o.panel.x + (o.panel.w - buttons_w) / 2;
    const std::int32_t y = o.panel.y + o.panel.h - 16 - k_button_height;
    for (const ButtonInfo& info : infos) {
        Widget b;
        b.kind = WidgetKind::button;
        b.text = utf8_to_u32(info.label);
        b.id = info.code;
        b.letter = info.letter;
        b.rect = {x, y, k_button_width, k_button_height};
        b.is_default = &info == &infos.front();
        o.widgets.push_back(std::move(b));
        x += k_button_width + 10;
        // Esc answers Cancel where there is one, and OK when it stands alone.
        if (info.code == k_box_cancel || set == BoxButtons::ok) {
            o.has_cancel = true;
            o.cancel_id = info.code;
        }
    }
    o.on_pick = [](Overlay&, std::int32_t) { return true; };
    o.focus_first();
    return o;
}

bool no_reader() {
    platform::Window* w = frame::main_window();
    return !w || (w->headless() && frame::current_options().input_file.empty());
}

void open_quit_question() {
    if (g_quit_question) return;
    if (no_reader()) {
        engine::request_quit();
        return;
    }
    Overlay box = make_message_box(window_title(), "Kestruneを終了しますか？", BoxButtons::yes_no,
                                   BoxIcon::question);
    box.has_cancel = true; // Esc keeps the game going
    box.cancel_id = k_box_no;
    box.on_close = [](std::int32_t id) {
        g_quit_question = false;
        if (id == k_box_yes) engine::request_quit();
    };
    g_quit_question = true;
    open_overlay(std::move(box));
}

bool quit_question_open() {
    return g_quit_question && overlay_open();
}

void register_boxes() {
    script::register_builtin("Message", message_builtin);
    register_settings_dialog();
    frame::startup_hooks().script_settings.push_back([] {
        script::register_builtin("Message", message_builtin);
        register_settings_dialog();
        return true;
    });
    input_hooks().open_popup_menu = open_popup_menu;
    frame::startup_hooks().main_loop_pass.push_back(run_overlay_requests);
}

} // namespace kestrune::ui
