// The user's own node, which the mailboxes give: a user name without a node
// in the From line is a user of the node the mailboxes were kept on, as are
// those in the To and CC lines of the user's own messages.
#pragma once

#include <string>
#include <vector>

// The node at which others' messages in the mailboxes reach the user: of
// the recipients NODE::NAME in the To and CC lines of messages that are not
// the user's own, the node that most of those named as the user have. The
// user's names are the senders of the user's own messages (those to which
// the converter gave a Date line) and KESTREL_VAX_USERNAME when it is set.
// `node` is empty when nothing gives it. Reads the heads alone; false after
// saying which mailbox could not be read.
bool find_user_node(const std::vector<std::string>& mailboxes, std::string& node);
