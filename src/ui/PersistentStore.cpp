#include "ui/PersistentStore.h"

#include "util/Duziz.h"

#include <QUndoStack>

#include <cerrno>
#include <fstream>
#include <sys/stat.h>

namespace {

// The file-read errors of the platform's own domain.
constexpr const char* kCocoaErrorDomain = "NSCocoaErrorDomain";
constexpr long kFileReadCorruptFileError = 259;

}  // namespace

bool PersistentStoreCoordinator::addPersistentStore(const std::string& path, platform::Error* error) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno != ENOENT) {
            platform::setError(error, platform::Error::posix(errno, "The store file " + path + " cannot be read."));
            return false;
        }
        std::string empty = std::string(kStoreHeader) + "\nmodel " + model_.name + "\n";
        if (!writeFileAtomically(path, reinterpret_cast<const uint8_t*>(empty.data()), empty.size(), error))
            return false;
    } else {
        std::ifstream in(path, std::ios::binary);
        std::string firstLine;
        if (!in || !std::getline(in, firstLine) || firstLine != kStoreHeader) {
            platform::setError(error, platform::Error::make(kCocoaErrorDomain, kFileReadCorruptFileError,
                                                            "The store file is not in the correct format.",
                                                            path));
            return false;
        }
    }
    storePath_ = path;
    return true;
}

ManagedObjectContext::ManagedObjectContext(PersistentStoreCoordinator* coordinator)
    : coordinator_(coordinator), undoManager_(std::make_unique<QUndoStack>()) {}

ManagedObjectContext::~ManagedObjectContext() = default;
