// The movie commands and the movie kind of scene objects: CreateMovie, the mask source,
// the requests, SetStream, the movie side of SetLoop, SetLoopPoint and SetVolume,
// MoviePlay, and the global pause of a system script.
#include "movie/movie.h"

#include "frame/engine.h"
#include "frame/startup_hooks.h"
#include "movie/movie_texture.h"
#include "platform/clock.h"
#include "scene/raster.h"
#include "scene/records.h"
#include "scene/scene.h"
#include "script/commands.h"
#include "script/context.h"
#include "script/system_variables.h"
#include "ui/input_events.h"

#include <algorithm>
#include <atomic>
#include <cctype>
#include <mutex>
#include <set>

namespace kestrune::movie {

namespace {

using script::CommandCall;

// Every movie that exists, for the global pause.
std::mutex g_movies_mutex;
std::set<MovieTexture*> g_movies;

struct MovieData : scene::KindData {
    explicit MovieData(std::unique_ptr<MovieTexture> m) : movie(std::move(m)) {
        std::lock_guard guard(g_movies_mutex);
        g_movies.insert(movie.get());
    }
    // Stops the decoder thread and waits for it, whatever the movie was doing.
    ~MovieData() override { release(); }
    void release() {
        if (!movie) return;
        {
            std::lock_guard guard(g_movies_mutex);
            g_movies.erase(movie.get());
        }
        movie.reset();
    }
    std::unique_ptr<MovieTexture> movie;
};

MovieTexture* movie_of(const scene::SceneObject& o) {
    auto* d = dynamic_cast<MovieData*>(o.kind_data.get());
    return d ? d->movie.get() : nullptr;
}

int movie_request(scene::SceneObject& o, std::string_view word) {
    MovieTexture* m = movie_of(o);
    if (!m) return -1;
    using scene::is_request_word;
    if (is_request_word(word, "Play"))
        m->play();
    else if (is_request_word(word, "Stop"))
        m->stop();
    else if (is_request_word(word, "Pause"))
        m->pause();
    else if (is_request_word(word, "Resume"))
        m->resume();
    else
        return -1;
    return 1;
}

bool movie_busy(const scene::SceneObject& o) {
    const MovieTexture* m = movie_of(o);
    return m && m->running();
}

void movie_release(scene::SceneObject& o) {
    if (auto* d = dynamic_cast<MovieData*>(o.kind_data.get())) d->release();
}

const scene::KindOps k_movie_kind{"movie", movie_request, nullptr, movie_busy, movie_release};

// ---- saved movies ------------------------------------------------------------------------------
// A movie object made again by its statement starts from its beginning: the record puts it
// back at the saved time of its clock, in its saved state, with its loop and volume.

bool has_movie(const scene::SceneObject& o) {
    return movie_of(o) != nullptr;
}

bool write_movie(const scene::SceneObject& o, const scene::RecordWriting&, storage::SaveWriter& w,
                 std::string&) {
    const MovieTexture& m = *movie_of(o);
    w.i32(static_cast<std::int32_t>(m.state()));
    const auto clock = static_cast<std::uint64_t>(std::max<std::int64_t>(0, m.clock_ms()));
    w.u32(static_cast<std::uint32_t>(clock));
    w.u32(static_cast<std::uint32_t>(clock >> 32));
    w.u32(m.loop());
    w.i32(static_cast<std::int32_t>(m.loop_position()));
    w.i32(m.volume());
    return true;
}

bool read_movie(scene::SceneObject& o, storage::SaveReader& r) {
    const std::int32_t state = r.i32();
    const std::uint64_t lo = r.u32(), hi = r.u32();
    const bool loop = r.u32() != 0;
    const std::int32_t loop_position = r.i32(), volume = r.i32();
    if (!r.ok()) return false;
    MovieTexture* m = movie_of(o);
    if (!m) return r.fail("the object plays no movie");
    const auto clock = static_cast<std::int64_t>(lo | hi << 32);
    if (clock < 0 || clock > (std::int64_t(1) << 40) || loop_position < 0)
        return r.fail("a movie position out of range");
    m->set_loop(loop);
    m->set_loop_position(loop_position);
    m->set_volume(volume);
    switch (static_cast<MovieState>(state)) {
    case MovieState::stopped:
        m->stop();
        break;
    case MovieState::paused:
        m->pause();
        m->seek(clock);
        break;
    case MovieState::playing:
    case MovieState::held:
        m->seek(clock);
        break;
    default:
        return r.fail("an unknown movie state");
    }
    return true;
}

// The kind-update operation of movie objects: the frame due now goes into the image.
int op_movie_frame(scene::SceneObject& o) {
    MovieTexture* m = movie_of(o);
    if (!m || !m->pump(platform::tick_ms())) return 0;
    if (o.mask && o.mask->owner == &o)
        scene::refresh_mask(o);
    else
        scene::mark_object(o);
    return 1;
}

// After a load: the frame at the saved time goes into the image before the first picture.
void restart_movie(scene::SceneObject& o) {
    if (movie_of(o) && o.slots[scene::k_slot_kind_update].code == scene::k_op_movie_frame)
        op_movie_frame(o);
}

void problem(CommandCall& call, const std::string& message) {
    script::report_problem(call.context, call.statement, message);
}

bool is_true(const std::string& s) {
    std::string u = s;
    for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return u == "TRUE";
}

void hold_for_group(CommandCall& call) {
    if (call.block.kind == script::k_kind_group && !engine::render_is_held()) engine::render_hold();
}

// A movie object at the call's priority and position, showing the movie's image.
scene::SceneObject* create_movie_object(CommandCall& call, std::unique_ptr<MovieTexture> movie,
                                        std::int32_t priority, const std::string& x,
                                        const std::string& y, const std::string& path) {
    std::shared_ptr<PixelImage> image = movie->image();
    auto drawable = scene::create_drawable(image.get());
    if (!drawable) return nullptr;
    scene::CreateArgs args;
    args.owner_key = call.context.owner_key;
    args.prefix = call.block.object_prefix;
    args.command = call.canonical;
    args.path = path;
    args.priority = priority;
    args.x = x;
    args.y = y;
    script::ScriptContext* context = &call.context;
    const char* statement = call.statement;
    args.report = [context, statement](const std::string& message) {
        script::report_problem(*context, statement, message);
    };
    scene::SceneObject* o =
        scene::create_kind_object(args, std::move(drawable), image, &k_movie_kind);
    if (!o) return nullptr;
    o->kind_data = std::make_unique<MovieData>(std::move(movie));
    scene::set_slot(*o, scene::k_slot_kind_update, scene::k_op_movie_frame);
    return o;
}

bool is_flag(const std::string& s) {
    std::string u = s;
    for (char& c : u) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return u == "TRUE" || u == "FALSE";
}

// CreateMovie(name, priority, x, y, loop, alpha, file, volume). A script that names the
// file before the flags (file, loop, alpha, volume) is read so too: a file name is never
// one of the words TRUE or FALSE.
bool cmd_create_movie(CommandCall& call) {
    if (call.path.empty()) return true;
    const bool file_first = !is_flag(call.arg(4)) && (is_flag(call.arg(5)) || is_flag(call.arg(6)));
    const std::string file = call.arg(file_first ? 4 : 6);
    MovieOptions options;
    options.loop = is_true(call.arg(file_first ? 5 : 4));
    options.alpha = is_true(call.arg(file_first ? 6 : 5));
    options.volume = call.has(7) ? script::argument_int(call.arg(7)) : 1000;
    std::string error;
    auto movie = MovieTexture::open(file, options, error);
    if (!movie) {
        problem(call, "CreateMovie: \"" + file + "\": " + error + "; the object was not created");
        return true;
    }
    hold_for_group(call);
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    create_movie_object(call, std::move(movie), script::argument_int(call.arg(1)), call.arg(2),
                        call.arg(3), call.path);
    return true;
}

// CreateMask with a movie source: the movie plays once at full volume, without a mask half.
bool open_mask_movie(const std::string& source, scene::MovieSource& out, std::string& error) {
    auto movie = MovieTexture::open(source, MovieOptions{}, error);
    if (!movie) return false;
    out.image = movie->image();
    out.kind = &k_movie_kind;
    out.data = std::make_unique<MovieData>(std::move(movie));
    return true;
}

// Runs fn on every movie the call's path names (scene lock held meanwhile).
template <typename Fn> void for_each_movie(CommandCall& call, Fn fn) {
    if (call.path.empty()) return;
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    scene::apply(
        call.context.owner_key, call.path,
        [&](scene::SceneObject& o) {
            MovieTexture* m = movie_of(o);
            if (!m) return 0;
            fn(*m);
            return 1;
        },
        scene::ApplyOptions{.no_children = true});
}

// The commands movies share with sounds: the movie side runs first, then the sound's.
script::CommandHandler g_sound_set_stream = nullptr;
script::CommandHandler g_sound_set_loop = nullptr;
script::CommandHandler g_sound_set_loop_point = nullptr;
script::CommandHandler g_sound_set_volume = nullptr;

bool pass_on(script::CommandHandler h, CommandCall& call) {
    return h ? h(call) : true;
}

bool cmd_set_stream(CommandCall& call) {
    const std::int64_t ms = script::argument_int(call.arg(1));
    for_each_movie(call, [ms](MovieTexture& m) { m.seek(ms); });
    return pass_on(g_sound_set_stream, call);
}

bool cmd_set_loop(CommandCall& call) {
    const std::string value = call.arg(1);
    // TRUE, or a count other than once, loops; a movie knows no counted loops.
    const std::int32_t n = script::argument_int(value);
    const bool loop = is_true(value) || n < 0 || n > 1;
    for_each_movie(call, [loop](MovieTexture& m) { m.set_loop(loop); });
    return pass_on(g_sound_set_loop, call);
}

bool cmd_set_loop_point(CommandCall& call) {
    const std::int64_t start = script::argument_int(call.arg(1));
    for_each_movie(call, [start](MovieTexture& m) { m.set_loop_position(start); });
    return pass_on(g_sound_set_loop_point, call);
}

bool cmd_set_volume(CommandCall& call) {
    const std::int32_t volume = script::argument_int(call.arg(1));
    for_each_movie(call, [volume](MovieTexture& m) { m.set_volume(volume); });
    return pass_on(g_sound_set_volume, call);
}

// ---- MoviePlay -------------------------------------------------------------------------------

// The full-window movie's object: a name no script can write.
constexpr const char* k_window_movie = "\x7fMoviePlay";
std::atomic<bool> g_window_playing{false};

std::int32_t movie_audio_volume() {
    return static_cast<std::int32_t>(
        std::clamp(script::setting_number("movie_audio_volume"), 0.0, 1000.0));
}

bool pressed(std::int32_t code) {
    platform::Event* e = ui::input_event(code);
    return e && e->is_signalled();
}

// MoviePlay(file, interruptible): plays the movie over the whole window while the script
// waits. A click ends it when it is interruptible; Enter when it is interruptible or the
// setting break_play_movie is set.
bool cmd_movie_play(CommandCall& call) {
    const std::string file = call.arg(0);
    const bool interruptible = is_true(call.arg(1));
    MovieOptions options;
    options.width = scene::k_screen_width;
    options.height = scene::k_screen_height;
    options.volume = movie_audio_volume();
    std::string error;
    // The name is taken as it is, without the resource path prefix.
    auto movie =
        MovieTexture::open(file.rfind("file:", 0) == 0 ? file : "file:" + file, options, error);
    if (!movie) {
        problem(call, "MoviePlay: \"" + file + "\": " + error + "; the game goes on");
        return true;
    }
    MovieTexture* m = movie.get();
    engine::ScopedLock scene_guard(engine::k_lock_scene);
    scene::SceneObject* o =
        create_movie_object(call, std::move(movie), 0x7FFFFFFF, "0", "0", k_window_movie);
    if (o) o->shown = true;
    scene_guard.unlock();
    if (!o) return true;
    // The flag is up before the wait begins, so the wait cannot end before the movie.
    g_window_playing = true;
    const bool process = call.block.is_process();
    if (!process && engine::render_is_held())
        engine::render_release();
    else
        scene::mark_all_changed();
    for (;;) {
        if (!g_window_playing.load() || !m->running() || engine::quit_requested() ||
            platform::stop_requested())
            break;
        const std::uint32_t r = engine::wait_multi(engine::k_wait_quit | engine::k_wait_input_click,
                                                   &m->stopped_event(), 100);
        if (r != engine::k_wait_input_click) continue;
        const bool click = pressed(ui::k_in_left_down);
        const bool enter = pressed(ui::k_in_enter);
        engine::consume_inputs(engine::k_wait_input_click);
        if ((click && interruptible) ||
            (enter && (interruptible || script::setting_number("break_play_movie") != 0)))
            break;
    }
    g_window_playing = false;
    scene::delete_objects(call.context.owner_key, k_window_movie);
    if (!process && call.block.run_state.load() == script::k_run_running &&
        engine::render_is_running())
        engine::render_hold();
    return true;
}

// ---- global pause ----------------------------------------------------------------------------

// A system script (the backlog, a shortcut's script) holds every playing movie while it
// runs; they go on when it ends.
void on_state_changed() {
    static std::atomic<std::int32_t> last{0};
    const std::int32_t s = engine::state();
    const std::int32_t before = last.exchange(s);
    if (s == before) return;
    const bool entering = s == engine::k_state_system_script;
    const bool leaving = before == engine::k_state_system_script;
    if (!entering && !leaving) return;
    std::lock_guard guard(g_movies_mutex);
    for (MovieTexture* m : g_movies) {
        if (entering)
            m->hold();
        else if (m->state() == MovieState::held)
            m->resume();
    }
}

void chain(const char* name, script::CommandHandler mine, script::CommandHandler& previous) {
    const script::CommandHandler current = script::registered_handler(name);
    if (current != mine) previous = current;
    script::register_command(name, mine);
}

} // namespace

void register_with_frame() {
    script::register_command("CreateMovie", cmd_create_movie);
    script::register_command("MoviePlay", cmd_movie_play);
    chain("SetStream", cmd_set_stream, g_sound_set_stream);
    chain("SetLoop", cmd_set_loop, g_sound_set_loop);
    chain("SetLoopPoint", cmd_set_loop_point, g_sound_set_loop_point);
    chain("SetVolume", cmd_set_volume, g_sound_set_volume);
    scene::register_operation(scene::k_op_movie_frame, op_movie_frame);
    scene::register_record_section(
        {scene::record_tag("MOVI"), has_movie, write_movie, read_movie, nullptr, restart_movie});
    scene::set_movie_source_hook(open_mask_movie);
    platform::quiet_movie_library();

    static bool once = false;
    if (once) return;
    once = true;
    frame::startup_hooks().main_loop_pass.push_back(on_state_changed);
}

} // namespace kestrune::movie
