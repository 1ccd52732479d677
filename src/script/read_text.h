// The read-text map: for every script file the engine has loaded, one flag per byte of its
// text, 1 where the reader has passed it. Only the flags of line ends really change: they
// start at 0 and become 1 when a main-set script passes them, so the map records which
// lines of the story have been shown. Skip mode (outside "skip everything") stops at the
// first line that was not read yet.
//
// Threading contract: the node list is guarded by its own mutex; the flags of a node are
// plain bytes written by any script thread without a lock (a lost race only loses a mark
// that the next pass makes again). Nodes live until clear_read_text_map().
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace kestrune::script {

struct ReadTextNode {
    std::string name;                // the file name as loaded (at most 259 bytes)
    std::size_t length = 0;          // length of the file text
    std::vector<std::uint8_t> flags; // one per byte of the text
};

// Creates the node of a freshly pre-scanned file, or keeps the flags of an existing node
// with the same name and length. `text` is the loaded text after the pre-scan: the 0x10
// placeholders that the text-section scan wrote over white space (offset and original byte
// in `placeholders`) get their bytes back and count as read.
struct Placeholder {
    std::size_t offset;
    std::uint8_t original;
};
ReadTextNode* read_text_node_for(const std::string& name, std::uint8_t* text, std::size_t length,
                                 const std::vector<Placeholder>& placeholders);

// Marks one byte read. True when it was unread before (the reader reached a new line).
bool read_text_mark(ReadTextNode* node, std::size_t offset);
void read_text_mark_range(ReadTextNode* node, std::size_t first, std::size_t last, bool read);
bool read_text_is_read(const ReadTextNode* node, std::size_t offset);
// True when every byte from first to last (inclusive) is read.
bool read_text_range_read(const ReadTextNode* node, std::size_t first, std::size_t last);
ReadTextNode* read_text_find(const std::string& name);

// Drops every node (used when the program ends and by tests).
void clear_read_text_map();

// The saved form of the map (the common read-text file, inside its container): u32 node
// count; per node u32 flag count L, the file name in 260 zero-padded bytes, L flag bytes.
std::vector<std::uint8_t> read_text_serialise();
// Reads a saved map. A node of a name already in the map takes the saved flags in place
// (loaded files keep pointing at it); other names make new nodes. The whole map is checked
// first: a malformed one changes nothing, returns false and says why in `error`.
bool read_text_restore(std::span<const std::uint8_t> data, std::string& error);

} // namespace kestrune::script
