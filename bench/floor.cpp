// The I/O of a conversion and nothing else: what KESTREL cannot go below.
// For each folder it makes the same passes over the same bytes, in the same
// block sizes and the same places, and leaves out the conversion's work:
//   - read the folder and write the staged copy into the current directory,
//   - read the staged copy back,
//   - with --spill (one message larger than the message memory), write it
//     to an unnamed temporary file in the current directory in 1 MiB parts
//     and read it back,
//   - write the mailbox in blocks of 256 KiB and rewrite its header,
//   - with --commit, make the mailbox as an unnamed file in its directory,
//     flush it to the device, give it its name and flush the directory,
//   - close the mailbox and remove the staged copy.
// The mailbox holds the folder's bytes, not a conversion of them.
//
//   floor [--spill] [--commit] OUTPUT_DIRECTORY FOLDER...
//
// The mailbox of FOLDER is OUTPUT_DIRECTORY/<FOLDER's base name>.MBX.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/types.h>
#include <unistd.h>

namespace {

constexpr std::size_t block_size = 256 * 1024;
constexpr std::size_t message_memory_size = 1024 * 1024;
constexpr std::size_t header_size = 84;

unsigned char block[block_size];
unsigned char message_memory[message_memory_size];
unsigned char out_block[block_size];
std::size_t out_used = 0;

[[noreturn]] void fail(const char* what)
{
    std::fprintf(stderr, "floor: %s: %s\n", what, std::strerror(errno));
    std::exit(1);
}

ssize_t read_some(int fd, void* data, std::size_t size)
{
    ssize_t got;
    do
        got = read(fd, data, size);
    while (got < 0 && errno == EINTR);
    if (got < 0)
        fail("read");
    return got;
}

void write_all(int fd, const void* data, std::size_t size)
{
    const auto* at = static_cast<const unsigned char*>(data);
    while (size > 0) {
        ssize_t put = write(fd, at, size);
        if (put < 0 && errno == EINTR)
            continue;
        if (put <= 0)
            fail("write");
        at += put;
        size -= static_cast<std::size_t>(put);
    }
}

// The mailbox's write-behind block, as the program's: small writes
// gathered, large ones straight through.
void out_put(int fd, const void* data, std::size_t size)
{
    if (out_used + size > block_size) {
        write_all(fd, out_block, out_used);
        out_used = 0;
        if (size > block_size) {
            write_all(fd, data, size);
            return;
        }
    }
    std::memcpy(out_block + out_used, data, size);
    out_used += size;
}

// One folder's passes.
void pass_folder(const char* folder_path, const std::string& directory, bool spill, bool commit)
{
    std::string base = folder_path;
    if (std::size_t slash = base.rfind('/'); slash != std::string::npos)
        base.erase(0, slash + 1);
    if (std::size_t dot = base.rfind('.'); dot != std::string::npos)
        base.erase(dot);
    std::string mailbox_path = directory + "/" + base + ".MBX";

    int folder = open(folder_path, O_RDONLY | O_CLOEXEC);
    if (folder < 0)
        fail("open folder");
    int mailbox = commit
                      ? open(directory.c_str(), O_WRONLY | O_TMPFILE | O_CLOEXEC, 0644)
                      : open(mailbox_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
    if (mailbox < 0)
        fail("create mailbox");
    char staged_name[] = "floorXXXXXX";
    int staged = mkostemp(staged_name, O_CLOEXEC);
    if (staged < 0)
        fail("create staged copy");
    for (ssize_t got; (got = read_some(folder, block, block_size)) > 0;)
        write_all(staged, block, static_cast<std::size_t>(got));
    if (close(staged) != 0)
        fail("close staged copy");
    staged = open(staged_name, O_RDONLY | O_CLOEXEC);
    if (staged < 0)
        fail("open staged copy");
    int spill_file = open(".", O_RDWR | O_TMPFILE | O_CLOEXEC, 0600);
    if (spill_file < 0)
        fail("open spill file");

    const unsigned char header[header_size] = {'J', 'M', 'F', '6'};
    out_put(mailbox, header, header_size);
    std::size_t held = 0;
    for (ssize_t got; (got = read_some(staged, block, block_size)) > 0;) {
        auto size = static_cast<std::size_t>(got);
        if (!spill) {
            out_put(mailbox, block, size);
            continue;
        }
        if (held + size > message_memory_size) {
            write_all(spill_file, message_memory, held);
            held = 0;
        }
        std::memcpy(message_memory + held, block, size);
        held += size;
    }
    if (spill) {
        write_all(spill_file, message_memory, held);
        if (lseek(spill_file, 0, SEEK_SET) != 0)
            fail("seek spill file");
        for (ssize_t got; (got = read_some(spill_file, message_memory, message_memory_size)) > 0;)
            out_put(mailbox, message_memory, static_cast<std::size_t>(got));
    }
    write_all(mailbox, out_block, out_used);
    out_used = 0;
    if (pwrite(mailbox, header, header_size, 0) != static_cast<ssize_t>(header_size))
        fail("rewrite header");
    if (commit) {
        if (fsync(mailbox) != 0)
            fail("fsync mailbox");
        std::string fd_path = "/proc/self/fd/" + std::to_string(mailbox);
        if (linkat(AT_FDCWD, fd_path.c_str(), AT_FDCWD, mailbox_path.c_str(), AT_SYMLINK_FOLLOW) !=
            0)
            fail("name mailbox");
        int dir = open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir < 0 || fsync(dir) != 0 || close(dir) != 0)
            fail("fsync directory");
    }
    if (close(mailbox) != 0)
        fail("close mailbox");
    close(staged);
    close(spill_file);
    close(folder);
    if (unlink(staged_name) != 0)
        fail("remove staged copy");
}

} // namespace

int main(int argc, char** argv)
{
    bool spill = false, commit = false;
    int first = 1;
    for (; first < argc && argv[first][0] == '-'; ++first) {
        if (std::strcmp(argv[first], "--spill") == 0)
            spill = true;
        else if (std::strcmp(argv[first], "--commit") == 0)
            commit = true;
        else
            break;
    }
    if (argc - first < 2) {
        std::fprintf(stderr, "usage: floor [--spill] [--commit] OUTPUT_DIRECTORY FOLDER...\n");
        return 2;
    }
    std::string directory = argv[first];
    for (int i = first + 1; i < argc; ++i)
        pass_folder(argv[i], directory, spill, commit);
    return 0;
}
