#pragma once

#include <functional>
#include <iosfwd>

#include <QString>

class QWidget;

// Writes an export to a file the user chose: a temporary file is made exclusively beside the target and renamed
// over it at the end, so a failed export leaves any old file alone and nothing already there (a link above all)
// is written through. The writer streams its rows; they reach the file in large writes.
namespace ExportFile {

// `write` fills the stream and says whether it could; `problem` says why it could not (empty: "the history
// could not be read"). Gives the reason when the export failed, else an empty text.
[[nodiscard]] QString write(const QString& path, const std::function<bool(std::ostream&)>& write,
                            const std::function<QString()>& problem = {});

// Asks where to save `what` ("CSV", "JSON"; the file name offered is `stem`, the local time and `suffix`, in the
// home folder), then exports there through `exportTo` with a wait cursor; a failure is said in a box.
void ask(QWidget* parent, const QString& title, const QString& what, const QString& suffix, QString stem,
         const std::function<QString(const QString& path)>& exportTo);

} // namespace ExportFile
