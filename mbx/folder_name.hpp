// The folder that a mailbox becomes in a Maildir++ tree, a directory of mbox
// files or an IMAP account, and whether its messages stay unread.
#pragma once

#include <string>

// The folder that the mailbox at `mailbox_path` becomes in a Maildir++ tree,
// a directory of mbox files or an IMAP account: its base name without its
// extension (MAIL.MBX -> MAIL); characters a folder name cannot carry are
// replaced, and `made_safe` is then set so the caller can say so.
std::string folder_name_of(const std::string& mailbox_path, bool& made_safe);
// Whether the messages of this mailbox are exported unread: the VMS folder
// of unread mail, NEWMAIL (any letter case).
bool mailbox_stays_unread(const std::string& mailbox_path);
