// The watch object behind IKestrovaOPCWatch: one per server COM object, made on its
// first watch call. It describes the process's objects to our diagnostic tools as XML:
// the entry, the object root with every client connection, their groups and items, and
// the address space. Objects are named by ids (docs/watch.md):
//   "ENT", "DOR", "DNS"           the entry, the object root, the namespace root
//   "DSE:<hex>", "DGR:<hex>",     a client connection, a group, an item: the engine
//   "DIT:<hex>"                   object's address, only ever compared, never followed
//   "DNO:<item ID>", "DTA:<item ID>"  a node or a tag of the address space
// Changes are found by comparing what an object shows now with what it showed at the
// previous look; the interface layer adds what it does itself (a new LCID, a new group).
//
// Portable: native tests reach it through the engine; the COM shell is
// DaOpcServerDiagnostics.cpp.
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "da/DaServer.h"
#include "da/DaStatistics.h"

class DaObjectRoot;

// What the watch shows of the entry (which only exists with COM).
struct DaWatchEntry {
    std::string clsid;  // registry form, {...}
    std::string vendor;
    unsigned major = 4, minor = 1, build = 472;
    uint64_t startTime = 0;   // FILETIME
    uint32_t serverState = 1;  // OPC_STATUS_RUNNING
};

class DaWatch {
public:
    // Separates the ids given to CollectChanges; no name or item ID can hold it.
    static constexpr char kIdSeparator = '|';

    DaWatch(DaRef<DaServer> self, DaWatchEntry entry);

    // The objects directly below `parent` ("": the three roots), one element each with
    // its id and name. E_INVALIDARG when the id names nothing.
    HRESULT getChildren(std::string_view parent, std::string& document) const;
    // Every attribute of one object. E_INVALIDARG when the id names nothing.
    HRESULT getObject(std::string_view id, std::string& document) const;
    // Starts (collect) or ends recording the changes of the objects whose ids are
    // listed. Starting needs every id to name an object, else E_INVALIDARG and nothing
    // changes; ending with no ids ends all.
    HRESULT collectChanges(std::string_view ids, bool collect);
    // The changes of the recorded objects since the previous call: changed attributes,
    // children that came and went, objects that are gone (and no longer recorded).
    std::string getChanges();
    // The engine's request counters since this watch's previous call, the process's
    // longest times, and the live objects.
    std::string getStatistics();

    // What the interface layer changes itself: recorded when the object is.
    void attributeChanged(const DaObject& object, const char* attribute, const std::string& value);
    void objectAdded(const DaObject& parent, const DaObject& child);

    static std::string idOf(const DaObject& object);

private:
    using Attributes = std::vector<std::pair<std::string, std::string>>;
    struct Target;
    struct Snapshot {
        Attributes attributes;
        std::vector<std::string> children;  // ids, sorted
    };
    bool find(std::string_view id, Target& target) const;
    Attributes attributesOf(const Target& target) const;
    // Children as (type tag, id, name).
    void childrenOf(const Target& target, std::vector<std::array<std::string, 3>>& children) const;
    bool snapshot(const std::string& id, Snapshot& taken) const;

    const DaRef<DaServer> self_;
    DaObjectRoot* const root_;  // not owning: outlives every server
    const DaWatchEntry entry_;

    std::mutex lock_;
    std::map<std::string, Snapshot> collected_;     // guarded by lock_
    struct Change {
        const char* element;  // "chg", "add", "del", "gone"
        Attributes attributes;
    };
    std::vector<Change> recorded_;                  // guarded by lock_: not yet handed out
    uint32_t counters_[DaStatistics::kCounterCount] = {};  // guarded by lock_: at the last report
    uint64_t readTimeSumMs_ = 0, writeTimeSumMs_ = 0;     // guarded by lock_: the same
};
