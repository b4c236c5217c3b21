// Reading text the way the folder list and the staged copy of a folder are
// read: line by line into a small fixed buffer, with every CR byte dropped,
// so that lines may end in CR LF or in LF alone.
#pragma once

#include <cstddef>

struct TextInput {
    int fd = -1;
    unsigned char* data = nullptr; // block buffer, owned by whoever set it up
    std::size_t capacity = 0;
    std::size_t start = 0;      // next unread byte of data
    std::size_t end = 0;        // end of the bytes read into data
    std::size_t next_cr = 0;    // first CR at or after start, or end, once found
    bool block_has_nul = false; // the block holds a NUL byte
    bool at_end = false;
    bool failed = false; // a read error ended the input
    // Keyboard rules of a redirected standard input: a Ctrl-Z byte ends the
    // input there, and a NUL byte is ignored.
    bool console_rules = false;
    // A folder read as it stands rather than through its staged copy: its
    // Ctrl-Z and NUL bytes are left out as they are when the copy is made.
    bool drops_ctrl_z_and_nul = false;
};

// Removes the Ctrl-Z and NUL bytes of a block in place; returns the number
// of bytes kept.
std::size_t remove_ctrl_z_and_nul(unsigned char* block, std::size_t size);

// Makes `input` read `fd` from its current position, through `data`.
void text_input_open(TextInput& input, int fd, unsigned char* data, std::size_t capacity,
                     bool console_rules);

// Reads the next line: the characters up to and including the next newline,
// but at most size - 1 of them, and a terminating zero byte. A longer line
// comes in pieces over the following calls. Returns the number of characters
// read; 0 at the end of the input or after a read error (input.failed).
std::size_t read_list_line(char* buffer, std::size_t size, TextInput& input);

// Reads the next line as read_list_line does, but a line that lies whole in
// the block read and needs no CR dropped is not copied: `line` then points
// into the block, valid until the next read. Otherwise it is read into
// `buffer` and `line` points there. The line is not zero-terminated.
std::size_t read_line_in_place(const char*& line, char* buffer, std::size_t size, TextInput& input);

// Position in input.data of the first CR at or after the read position, or
// input.end when the block holds none there.
std::size_t carriage_return_from_start(TextInput& input);

// After a read that filled the buffer without reaching a newline: tells
// whether the line ends there after all, because its newline comes next
// (which is taken) or the input ends. A line of exactly that length is then
// whole, not the first piece of a longer one. May read the next block.
bool line_ends_after_piece(TextInput& input);

// Reads and drops what is left of the current line, its newline included.
void skip_rest_of_line(TextInput& input);
