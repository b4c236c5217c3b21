#include "mbx/imap_spool.hpp"

#include "convert/file_io.hpp"
#include "mbx/ascii_case.hpp"
#include "mbx/complaint.hpp"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace {

// The value of the head's last "Message-ID:" line, which is the one the
// export adds; the head ends at the first empty line.
struct IdScan {
    std::string line;
    std::string id;
    bool ended = false;
};

void scan_for_id(IdScan& scan, const char* bytes, std::size_t count)
{
    for (std::size_t i = 0; i < count && !scan.ended; ++i) {
        char c = bytes[i];
        if (c != '\n') {
            if (scan.line.size() < 1024)
                scan.line += c;
            continue;
        }
        if (!scan.line.empty() && scan.line.back() == '\r')
            scan.line.pop_back();
        if (scan.line.empty())
            scan.ended = true;
        else if (starts_with_ignoring_case(scan.line, "Message-ID:")) {
            std::string value = scan.line.substr(11);
            std::size_t first = value.find_first_not_of(" \t");
            std::size_t last = value.find_last_not_of(" \t");
            scan.id = first == std::string::npos ? "" : value.substr(first, last - first + 1);
        }
        scan.line.clear();
    }
}

} // namespace

int open_spool(MessageSpool& spool)
{
    spool.out.fd = io_open_anonymous();
    if (spool.out.fd < 0) {
        complain("temporary file",
                 std::string("cannot make one in the current directory: ") + io_error_text());
        return 1;
    }
    spool.out.block.resize(output_block_size);
    spool.read_buffer.resize(output_block_size);
    return 0;
}

void close_spool(MessageSpool& spool)
{
    if (spool.out.fd >= 0)
        io_close_discarded(spool.out.fd);
    spool.out.fd = -1;
}

int spool_message(MessageSpool& spool, MailboxReader& reader, const MailboxRecord& record,
                  const ExportOptions& options, const std::string& mailbox_path)
{
    if (spool.on_disk > 0 && (io_seek(spool.out.fd, 0) || io_truncate(spool.out.fd))) {
        complain("temporary file", io_error_text());
        return 1;
    }
    spool.out.used = 0;
    spool.out.error = 0;
    spool.on_disk = 0;
    if (!export_message(reader, record, ExportForm::eml, options, spool.out)) {
        complain(mailbox_path, reader.error_text);
        return 1;
    }
    IoFileStatus status;
    if (spool.out.error == 0 && io_file_status(spool.out.fd, status))
        spool.out.error = errno != 0 ? errno : EIO;
    if (spool.out.error) {
        complain("temporary file", std::strerror(spool.out.error));
        return 1;
    }
    spool.on_disk = status.size;
    spool.size = spool.on_disk + spool.out.used;
    IdScan scan;
    if (spool_bytes(spool,
                    [&scan](const char* bytes, std::size_t count) {
                        scan_for_id(scan, bytes, count);
                        return scan.ended ? 1 : 0;
                    }) &&
        !scan.ended)
        return 1;
    spool.message_id = scan.id;
    return 0;
}

int spool_bytes(MessageSpool& spool, const std::function<int(const char*, std::size_t)>& take)
{
    for (std::uint64_t at = 0; at < spool.on_disk;) {
        std::size_t want = static_cast<std::size_t>(
            std::min<std::uint64_t>(spool.read_buffer.size(), spool.on_disk - at));
        std::int64_t got =
            io_read_at(spool.out.fd, spool.read_buffer.data(), want, static_cast<std::int64_t>(at));
        if (got <= 0) {
            complain("temporary file", got < 0 ? io_error_text() : "ended early");
            return 1;
        }
        if (take(spool.read_buffer.data(), static_cast<std::size_t>(got)))
            return 1;
        at += static_cast<std::uint64_t>(got);
    }
    if (spool.out.used > 0 &&
        take(reinterpret_cast<const char*>(spool.out.block.data()), spool.out.used))
        return 1;
    return 0;
}
