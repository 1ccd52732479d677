// Scene records of a save slot: one record per restorable object, and the restore that
// makes each object again by running its creating statement and pours the saved state
// over it.
//
// Block ("VKSD"): "VKSD", tag 0xF1F122C4, u32 total size, u32 record count, then per
// record a u32 size and that many bytes. A record: i32 owner key, u32 identity (a sequence
// number from 1), the texts creating statement, creator prefix, name, parent path and
// alias (each a u32 length and its bytes), u32 section count, then per section a u32 tag
// (four letters), a u32 length and the section's bytes. Sections are read through a reader
// bounded by their length, so no section can read into the next; an unknown tag is
// skipped, so records written by a later engine with more kinds still load.
//
// Kinds add their own sections with register_record_section() (text pages, sounds,
// choices, movies, ...); the scene writes and reads its own (core flags, drawable, the
// actions). Sections are written and read in registration order; the scene's own come
// first.
//
// Threading contract: snapshot_scene() takes the scene lock; it runs on the saving script
// thread while rendering is held. stage_scene() touches nothing live. restore_scene() and
// restart_scene_after_restore() run on the main thread in engine state 514, after the
// contexts of the save were adopted; they take the scene lock themselves.
#pragma once

#include "scene/scene.h"
#include "storage/save_bytes.h"

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <utility>
#include <vector>

namespace kestrune::script {
struct ScriptBlock;
}

namespace kestrune::scene {

constexpr std::uint32_t record_tag(const char (&t)[5]) {
    return std::uint32_t(std::uint8_t(t[0])) | std::uint32_t(std::uint8_t(t[1])) << 8 |
           std::uint32_t(std::uint8_t(t[2])) << 16 | std::uint32_t(std::uint8_t(t[3])) << 24;
}

// What a section writer may ask about the snapshot being written.
struct RecordWriting {
    // The identity of another object of the snapshot (0 when it is not in it).
    std::uint32_t (*identity_of)(const SceneObject* o) = nullptr;
    // Whether a script block other than the saving one resumes in a statement that
    // begins with this command name (its action must not start twice after a load).
    bool (*resumes_in)(std::string_view command) = nullptr;
};

struct RecordSection {
    std::uint32_t tag = 0;
    // Whether the object has this section at all.
    bool (*present)(const SceneObject& o) = nullptr;
    // Writes the section's content; false fails the save (with a reason in error).
    bool (*write)(const SceneObject& o, const RecordWriting& ctx, storage::SaveWriter& w,
                  std::string& error) = nullptr;
    // Reads the content (bounded to the section) and applies it to the re-created object,
    // lock held. Must read everything before changing the object; false skips the object.
    bool (*read)(SceneObject& o, storage::SaveReader& r) = nullptr;
    // For a kind whose creating statement forms its objects' paths from more than the
    // block's prefix (LoadText puts them under prefix/section): the prefix the statement
    // must run with. False: the object's creator prefix.
    bool (*creating_prefix)(const SceneObject& o, std::string& prefix) = nullptr;
    // Called for every object of the draw list once all records were read (lock held), for
    // links to other objects: restored_object() finds them by their saved identity.
    void (*restart)(SceneObject& o) = nullptr;
    // Reads the content (bounded to the section) before the creating statement runs, for
    // what the statement takes from settings of the moment (the default font a text
    // object is laid out with). False skips the object.
    bool (*before_create)(storage::SaveReader& r) = nullptr;
};
// Adds (or, for a tag already known, replaces) a section. Call at start-up.
void register_record_section(const RecordSection& section);

// The VKSD block of the main draw list's restorable objects, in tree order (a parent
// before its children). `saving` is the block that runs the Save.
bool snapshot_scene(const script::ScriptBlock* saving, std::vector<std::uint8_t>& out,
                    std::string& error);

struct StagedScene;
struct StagedSceneDeleter {
    void operator()(StagedScene* s) const;
};
using StagedScenePtr = std::unique_ptr<StagedScene, StagedSceneDeleter>;
// Checks the block's framing (every size, count and text against its bounds) and keeps the
// records. Null with a reason on any fault.
StagedScenePtr stage_scene(std::span<const std::uint8_t> block, std::string& error);
// Makes every record's object again in its owner's context and applies its sections. A
// record that fails (its statement fails, a section is refused, its owner is unknown) is
// reported and skipped; the others go on. Returns the number of objects restored.
std::size_t restore_scene(StagedScene& staged);
// After the restore: links between objects (focus neighbours), clocks reset to now, the
// whole screen marked for redrawing.
void restart_scene_after_restore();
// During the restart hooks: the restored object that carried this identity, or null.
SceneObject* restored_object(std::uint32_t identity);

// One object's sections on their own, as a save writes them and a load applies them (lock
// held), for checking the section readers apart from a whole slot: every section the object
// has, in registration order (links to other objects written as absent), and one section's
// content applied to a live object. False when a writer fails, or when no reader knows the
// tag or the reader refuses the content (the reason in `why`).
using RecordSections = std::vector<std::pair<std::uint32_t, std::vector<std::uint8_t>>>;
bool write_object_sections(const SceneObject& o, RecordSections& out, std::string& error);
bool read_object_section(SceneObject& o, std::uint32_t tag, std::span<const std::uint8_t> body,
                         std::string& why);

} // namespace kestrune::scene
