// kestrel-mbx imap: the messages of mailboxes appended to folders of an
// IMAP account, each mailbox a folder named as in the Maildir tree, in
// folder order, with the export's text, its read state and its sending
// date as INTERNALDATE. Before a folder gets anything its Message-IDs are
// read, and only the messages not there yet are appended, so a run that
// was cut off and run again leaves every message there exactly once.
// Nothing on the server is ever deleted, moved or changed.
#pragma once

#include "mbx/mbox_export.hpp"

#include <string>
#include <vector>

struct ImapOptions {
    std::string cafile;
    std::string password_command;
    std::string token_command;
    bool insecure_localhost = false;
    bool unread = false; // every message appended unread
};

// Takes the option at `arguments[i]` when it is one of imap's, moving `i`
// past its value: 1 then, 0 when it is none of them, -1 when its value is
// missing.
int take_imap_option(const std::vector<std::string>& arguments, std::size_t& i,
                     ImapOptions& options);

// The exit status: 0, 1 when anything was left undone, 2 on bad usage.
int imap_command(const std::vector<std::string>& mailboxes, const std::string& url_text,
                 const ExportOptions& export_options, const ImapOptions& options);
