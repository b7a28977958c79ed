#pragma once
// Where the help window finds its manual: the PDF built from resources/manual and embedded in the
// program. The lookup is a seam, so that tests can point it at a missing or unreadable document.

#include <QString>

#include <functional>
#include <optional>

namespace quorbel {

// The embedded manual's resource path, ":/QuorbelHelp.pdf".
QString embeddedHelpDocumentPath();

// Looks up a resource by name and extension ("QuorbelHelp", "pdf"); nothing when it is missing.
using ResourceLookup = std::function<std::optional<QString>(const QString& name, const QString& extension)>;

// The lookup used by the application: the program's embedded resources.
std::optional<QString> lookUpEmbeddedResource(const QString& name, const QString& extension);

}  // namespace quorbel
