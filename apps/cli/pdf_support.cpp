// Printable conversations, when this build has the writer for them.
#include "cli.h"

#ifdef SALVOR_HAVE_PDF
#include "conversation_pdf.h"
#endif

namespace salvor::cli {

std::optional<ConversationDocumentWriter> startPdfWriter() {
#ifdef SALVOR_HAVE_PDF
    pdf::ensureApplication();
    return pdf::conversationPdfWriter();
#else
    return std::nullopt;
#endif
}

}  // namespace salvor::cli
