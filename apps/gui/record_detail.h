// The detail pane's text of one record: every field in readable form (a
// contact as a card with its picture).
#pragma once

#include <QImage>
#include <QString>

#include "engine/result_store.h"
#include "record_model.h"

class QTextDocument;

namespace salvor::gui {

// HTML of the record's fields; a picture is added to `document` as a resource.
// A calendar record's place is named from `places` (see calendarPlace); a
// photo shows `preview` (its thumbnail, decoded elsewhere: never here).
QString recordDetailHtml(const AnyRecord& record, QTextDocument* document, const PlaceNames& places = {},
                         const QImage& preview = {});

}  // namespace salvor::gui
