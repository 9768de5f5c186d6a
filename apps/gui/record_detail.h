// The detail pane's text of one record: every field in readable form (a
// contact as a card with its picture).
#pragma once

#include <QString>

#include "engine/result_store.h"

class QTextDocument;

namespace salvor::gui {

// HTML of the record's fields; a picture is added to `document` as a resource.
QString recordDetailHtml(const AnyRecord& record, QTextDocument* document);

}  // namespace salvor::gui
