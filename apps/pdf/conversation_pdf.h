// One conversation as a PDF document: a title block, the messages as
// bubbles (sent on the right, received on the left) with sender and date,
// pictures drawn at a readable size, and a page number on every page. The
// text is real text, so it can be selected and searched; characters a font
// lacks are drawn with another system font that has them.
//
// Needs a QGuiApplication (see ensureApplication). The pages
// are written out as they are finished, so a long conversation does not
// collect in memory.
#pragma once

#include <string>

#include "output/export_options.h"

namespace salvor::pdf {

// Writes `document` into the open file `fd`; empty text, or why it failed.
std::string writeConversationPdf(const ConversationDocument& document, int fd);

// Makes the application object the writer needs, when there is none yet:
// call on the main thread before any run starts. Without a platform named in
// QT_QPA_PLATFORM the offscreen one is used, so no display is needed.
void ensureApplication();

// writeConversationPdf as the recovery run takes it.
ConversationDocumentWriter conversationPdfWriter();

}  // namespace salvor::pdf
