// Object paths: plain names, several segments, `*` prefixes, `@` aliases and the `<` form.
#include "scene/scene_internal.h"

#include "script/variables.h"

namespace kestrune::scene {

using namespace detail;

namespace {

bool segment_matches(const SceneObject& o, std::string_view seg, std::uint32_t hash) {
    if (!seg.empty() && seg.back() == '*') {
        const std::string_view prefix = seg.substr(0, seg.size() - 1);
        return o.name.compare(0, prefix.size(), prefix) == 0 && o.name.size() >= prefix.size();
    }
    return o.name_hash == hash && o.name == seg;
}

struct Walk {
    const std::function<int(SceneObject&)>& fn;
    ApplyOptions options;
    int result = 0;
    bool stopped = false;

    void run(SceneObject& o) {
        if (stopped) return;
        const int r = fn(o);
        if (r) {
            result = 1;
            if (options.stop_at_first) {
                stopped = true;
                return;
            }
        }
        if (!options.no_children && (o.inherit || options.into_children) && !o.children.empty())
            walk(o, "*");
    }

    void walk(SceneObject& parent, std::string_view path) {
        const std::size_t slash = path.find('/');
        const std::string_view seg = path.substr(0, slash);
        const std::string_view rest =
            slash == std::string_view::npos ? std::string_view{} : path.substr(slash + 1);
        if (seg.empty()) return;
        const std::uint32_t hash = name_hash(seg);
        // Copy the sibling list: the operation may create or free objects below.
        std::vector<SceneObject*> kids;
        kids.reserve(parent.children.size());
        for (auto& c : parent.children) kids.push_back(c.get());
        for (SceneObject* c : kids) {
            if (stopped) return;
            if (!segment_matches(*c, seg, hash)) continue;
            if (slash == std::string_view::npos)
                run(*c);
            else
                walk(*c, rest);
        }
    }
};

// The alias name of an `@` path: a `$` or `#` name stands for its variable's text.
std::string alias_name(std::string_view part) {
    if (!part.empty() && (part.front() == '$' || part.front() == '#')) {
        if (!script::var_exists(part)) return {};
        return script::var_text(part);
    }
    return std::string(part);
}

} // namespace

int apply(std::int32_t owner_key, std::string_view path, const std::function<int(SceneObject&)>& fn,
          ApplyOptions options) {
    if (!path.empty() && path.front() == '<') {
        options.main_list = true;
        path.remove_prefix(1);
    }
    if (path.empty()) return 0;
    Walk w{fn, options};
    if (path.front() == '@') {
        path.remove_prefix(1);
        const std::size_t slash = path.find('/');
        const std::string alias = alias_name(path.substr(0, slash));
        if (alias.empty()) return 0;
        const std::string_view rest =
            slash == std::string_view::npos ? std::string_view{} : path.substr(slash + 1);
        const bool prefix = alias.back() == '*';
        const std::string_view want =
            prefix ? std::string_view(alias).substr(0, alias.size() - 1) : std::string_view(alias);
        const std::vector<SceneObject*> list =
            options.main_list ? main_list() : current_list(); // copy: the walk may change it
        for (SceneObject* o : list) {
            if (w.stopped) break;
            const bool match = prefix ? o->alias.size() >= want.size() &&
                                            o->alias.compare(0, want.size(), want) == 0
                                      : o->alias == want;
            if (!match || o->alias.empty()) continue;
            if (rest.empty())
                w.run(*o);
            else
                w.walk(*o, rest);
        }
        return w.result;
    }
    SceneOwner* owner = find_owner(owner_key);
    if (!owner) return 0;
    w.walk(owner->root, path);
    return w.result;
}

SceneObject* find_object(std::int32_t owner_key, std::string_view path) {
    SceneObject* found = nullptr;
    if (path.find('*') != std::string_view::npos) return nullptr;
    apply(
        owner_key, path,
        [&](SceneObject& o) {
            found = &o;
            return 1;
        },
        ApplyOptions{.no_children = true, .stop_at_first = true});
    return found;
}

namespace {

std::shared_ptr<PixelImage> image_of(const SceneObject& o) {
    if (o.image_ref) return o.image_ref;
    if (o.source_image) return o.source_image;
    if (o.surface) return o.surface;
    if (o.cube) return o.cube->picture;
    return nullptr;
}

} // namespace

std::shared_ptr<PixelImage> find_image(std::string_view path, std::int32_t owner_key) {
    if (owner_key != -1 || (!path.empty() && (path.front() == '@' || path.front() == '<'))) {
        SceneObject* o = find_object(owner_key, path);
        return o ? image_of(*o) : nullptr;
    }
    for (auto& owner : store().owners)
        if (SceneObject* o = find_object(owner->key, path)) return image_of(*o);
    return nullptr;
}

} // namespace kestrune::scene
