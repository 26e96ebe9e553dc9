#pragma once
// The application's data template: a model, a coordinator holding one store file and a context
// on top. Nothing inserts, changes or deletes objects, so the store holds nothing and is never
// saved; the store file only marks the application's data folder as in use.

#include "platform/Error.h"

#include <memory>
#include <string>

class QUndoStack;

// The model of the template; it describes no entities.
struct ManagedObjectModel {
    std::string name;
};

class PersistentStoreCoordinator {
public:
    explicit PersistentStoreCoordinator(const ManagedObjectModel& model) : model_(model) {}

    // Opens the store file at path, writing an empty store there when there is no file. False,
    // with error, when the file cannot be written, cannot be read or is not a store.
    bool addPersistentStore(const std::string& path, platform::Error* error);

    const ManagedObjectModel& managedObjectModel() const { return model_; }
    const std::string& storePath() const { return storePath_; }

    // The first line of a store file.
    static constexpr const char* kStoreHeader = "VarnelStore 1";

private:
    ManagedObjectModel model_;
    std::string storePath_;
};

class ManagedObjectContext {
public:
    explicit ManagedObjectContext(PersistentStoreCoordinator* coordinator);
    ~ManagedObjectContext();

    PersistentStoreCoordinator* persistentStoreCoordinator() const { return coordinator_; }

    // No editor ever binds to this context, so there is never an edit left to commit.
    bool commitEditing() { return true; }
    // Nothing ever inserts, changes or deletes an object.
    bool hasChanges() const { return false; }

    QUndoStack* undoManager() const { return undoManager_.get(); }

private:
    PersistentStoreCoordinator* coordinator_;
    std::unique_ptr<QUndoStack> undoManager_;
};
