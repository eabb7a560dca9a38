// The client's local store: the per-workstation settings database "KestCRMClient" in the
// working folder. The main window opens it before the login and commits and closes it when
// it closes. LocalStore is what the main window needs of it; KestdbLocalStore is the one
// implementation, over the engine's store object, and the only place that touches it.
#pragma once

class LocalStore {
  public:
    virtual ~LocalStore() = default;
    // True when the store is open afterwards. On false the engine has printed its reason on
    // standard error.
    virtual bool open() = 0;
    virtual bool isOpen() const = 0;
    // Commits pending work and closes; nothing when the store is not open.
    virtual void close() = 0;
};

class KestdbLocalStore : public LocalStore {
  public:
    // Opens "KestCRMClient" (file KestCRMClient.kst in the current folder) with no lock
    // time limit and no commit delay, so the engine starts no thread.
    bool open() override;
    bool isOpen() const override;
    void close() override;
};
