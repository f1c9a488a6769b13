#include "opc/DaWatch.h"

#include <algorithm>
#include <charconv>
#include <cstdio>

#include "common/TVCmnVariant.h"
#include "common/TVCmnVariantText.h"
#include "da/DaCache.h"
#include "da/DaObjectRoot.h"
#include "da/DaTag.h"
#include "opc/DaXmlWriter.h"

namespace {

// FILETIME of 1899-12-30, where DATE counts from, in 100 ns units.
constexpr uint64_t kDateEpochFileTime = 94353120000000000ull;
constexpr double kFileTimePerDay = 864000000000.0;

const char* const kServerStates[] = {"running", "failed", "noConfig", "suspended", "test", "commFault"};

std::string number(uint32_t value) { return std::to_string(value); }
std::string flag(bool value) { return value ? "1" : "0"; }

std::string decimal(double value)
{
    char text[32];
    std::snprintf(text, sizeof text, "%g", value);
    return text;
}

// A FILETIME as the variant texts write a DATE; "" for none.
std::string timeText(uint64_t fileTime)
{
    if (!fileTime)
        return std::string();
    TVCmnVariant date;
    date.get().vt = VT_DATE;
    date.get().date = (double(fileTime) - double(kDateEpochFileTime)) / kFileTimePerDay;
    return TVCmnVariantText::valueText(date.get());
}

std::string addressId(const char* tag, const void* object)
{
    char text[32];
    std::snprintf(text, sizeof text, "%s:%llX", tag,
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(object)));
    return text;
}

// The address in "DSE:<hex>"; 0 when the text is none.
uintptr_t addressOf(std::string_view hex)
{
    unsigned long long value = 0;
    const auto [end, error] = std::from_chars(hex.data(), hex.data() + hex.size(), value, 16);
    return error == std::errc() && end == hex.data() + hex.size() ? uintptr_t(value) : 0;
}

}  // namespace

struct DaWatch::Target {
    enum class Kind { entry, objectRoot, namespaceRoot, server, group, item, node, tag } kind = Kind::entry;
    DaRef<DaServer> server;
    DaRef<DaGroup> group;
    DaRef<DaItem> item;
    DaRef<DaElement> element;  // node, tag or namespace root
};

DaWatch::DaWatch(DaRef<DaServer> self, DaWatchEntry entry)
    : self_(std::move(self)), root_(self_->root()), entry_(std::move(entry))
{
    // Statistics start from now: the first report shows what happened while watched.
    std::lock_guard<std::mutex> hold(lock_);
    DaStatistics& statistics = DaStatistics::process();
    for (int i = 0; i < DaStatistics::kCounterCount; ++i)
        counters_[i] = statistics.value(DaStatistics::Counter(i));
    readTimeSumMs_ = statistics.readTimeSumMs();
    writeTimeSumMs_ = statistics.writeTimeSumMs();
}

std::string DaWatch::idOf(const DaObject& object)
{
    const std::string tag = object.typeTag();
    if (tag == "DSE" || tag == "DGR" || tag == "DIT")
        return addressId(tag.c_str(), &object);
    const auto* element = dynamic_cast<const DaElement*>(&object);
    if (element && !dynamic_cast<const DaNamespaceRoot*>(element))
        return (element->isTag() ? "DTA:" : "DNO:") + element->itemId();
    return tag;
}

bool DaWatch::find(std::string_view id, Target& target) const
{
    using Kind = Target::Kind;
    if (id == "ENT" || id == "DOR") {
        target.kind = id == "ENT" ? Kind::entry : Kind::objectRoot;
        return true;
    }
    DaRef<DaNamespaceRoot> space = root_ ? root_->namespaceRoot(self_->serverClass()) : nullptr;
    if (id == "DNS") {
        target.kind = Kind::namespaceRoot;
        target.element = space;
        return bool(space);
    }
    const size_t colon = id.find(':');
    if (colon != 3 || id.size() == 4)
        return false;
    const std::string_view tag = id.substr(0, 3), rest = id.substr(4);
    if (tag == "DNO" || tag == "DTA") {
        DaRef<DaElement> element = space ? space->findElement(rest) : nullptr;
        if (!element || (tag == "DTA" ? !element->isTag() : !element->isNode()))
            return false;
        target.kind = tag == "DTA" ? Kind::tag : Kind::node;
        target.element = element;
        return true;
    }
    const uintptr_t address = addressOf(rest);
    if (!address || !root_ || (tag != "DSE" && tag != "DGR" && tag != "DIT"))
        return false;
    std::vector<DaRef<DaServer>> servers;
    root_->getServers(servers);
    if (root_->publicGroups())
        servers.emplace_back(root_->publicGroups());
    for (const DaRef<DaServer>& server : servers) {
        if (tag == "DSE") {
            if (reinterpret_cast<uintptr_t>(server.get()) != address)
                continue;
            target.kind = Kind::server;
            target.server = server;
            return true;
        }
        std::vector<DaRef<DaGroup>> groups;
        server->getGroups(groups);
        for (const DaRef<DaGroup>& group : groups) {
            if (tag == "DGR") {
                if (reinterpret_cast<uintptr_t>(group.get()) != address)
                    continue;
                target.kind = Kind::group;
                target.group = group;
                return true;
            }
            std::vector<DaRef<DaItem>> items;
            group->getItems(items);
            for (const DaRef<DaItem>& item : items)
                if (reinterpret_cast<uintptr_t>(item.get()) == address) {
                    target.kind = Kind::item;
                    target.item = item;
                    return true;
                }
        }
    }
    return false;
}

DaWatch::Attributes DaWatch::attributesOf(const Target& target) const
{
    using Kind = Target::Kind;
    Attributes a;
    switch (target.kind) {
    case Kind::entry: {
        char version[40];
        std::snprintf(version, sizeof version, "%u.%2.2u.%u", entry_.major, entry_.minor, entry_.build);
        a = {{"version", version}, {"vendorInfo", entry_.vendor}, {"startTime", timeText(entry_.startTime)}};
        break;
    }
    case Kind::objectRoot:
    case Kind::namespaceRoot:
        a = {{"name", target.element ? target.element->traceObjectName() : root_->traceObjectName()}};
        break;
    case Kind::server: {
        const DaServer& s = *target.server;
        const uint32_t state = entry_.serverState;
        a = {{"CLSID", entry_.clsid},
             {"clientName", s.traceObjectName()},
             {"LCID", number(s.lcid())},
             {"serverState", state >= 1 && state <= 6 ? kServerStates[state - 1] : number(state)},
             {"lastUpdateTime", timeText(s.lastUpdateTime())},
             // The OPC value for a bandwidth the server does not know, as GetStatus gives it.
             {"bandwidth", number(0xFFFFFFFFu) + "%"}};
        break;
    }
    case Kind::group: {
        const DaGroup& g = *target.group;
        const DaServer* owner = g.server();
        a = {{"name", g.name()},
             {"active", flag(g.isActive())},
             {"updateRate", number(g.updateRate())},
             {"deadBand", decimal(g.deadband())},
             {"LCID", number(g.lcid())},
             {"serverHandle", number(g.serverHandle())},
             {"clientHandle", number(g.clientHandle())},
             {"enable", flag(g.isEnabled())},
             {"public", flag(owner && owner->isPublicGroups())},
             {"timeBias", std::to_string(g.timeBias())},
             {"keepAliveTime", number(g.keepAlive())}};
        break;
    }
    case Kind::item: {
        const DaItem& i = *target.item;
        a = {{"itemID", i.itemId()},
             {"active", flag(i.isActive())},
             {"accessPath", i.accessPath()},
             {"serverHandle", number(i.serverHandle())},
             {"clientHandle", number(i.clientHandle())},
             {"datatype", number(i.requestedDatatype())},
             {"deadBand", decimal(i.itemDeadband())}};
        break;
    }
    case Kind::node:
        a = {{"name", target.element->getName()}, {"path", target.element->itemId()}};
        break;
    case Kind::tag: {
        auto& tag = static_cast<DaTag&>(*target.element);
        const DaNode* parent = tag.parent();
        TVCmnVariant value, euInfo;
        uint16_t quality = 0;
        uint64_t timestamp = 0;
        if (DaRef<DaCache> cache = tag.getCache(); cache && cache->holdsValue()) {
            cache->getValue(value.put(), VT_EMPTY, kDaEngineLcid);
            quality = cache->getQuality();
            timestamp = cache->getTimestamp64();
        }
        tag.getEUInfo(euInfo.put());
        std::vector<DaPropertyInfo> properties;
        tag.getPropertyList(true, true, properties);
        a = {{"name", tag.getName()},
             {"path", parent && !dynamic_cast<const DaNamespaceRoot*>(parent) ? parent->itemId() : std::string()},
             {"devState", tag.getDeviceState()},
             {"devStateInfo", tag.getDeviceStateInfo()},
             {"itemID", tag.itemId()},
             {"value", TVCmnVariantText::valueText(value.get())},
             {"quality", number(quality)},
             {"datatype", number(tag.getDatatype())},
             {"timeStamp", timeText(timestamp)},
             {"accessRights", number(tag.getAccessRights())},
             {"euType", number(uint32_t(tag.getEUType()))},
             {"euInfo", TVCmnVariantText::valueText(euInfo.get())},
             // Every tag answers the standard set (1 to 6); these are its own.
             {"hasProperties", flag(properties.size() > 6)}};
        break;
    }
    }
    return a;
}

void DaWatch::childrenOf(const Target& target, std::vector<std::array<std::string, 3>>& children) const
{
    using Kind = Target::Kind;
    auto add = [&children](const DaObject& object, std::string name) {
        children.push_back({object.typeTag(), idOf(object), std::move(name)});
    };
    switch (target.kind) {
    case Kind::objectRoot: {
        std::vector<DaRef<DaServer>> servers;
        root_->getServers(servers);
        if (root_->publicGroups())
            servers.emplace_back(root_->publicGroups());
        for (const DaRef<DaServer>& server : servers)
            add(*server, server->traceObjectName());
        break;
    }
    case Kind::server: {
        std::vector<DaRef<DaGroup>> groups;
        target.server->getGroups(groups);
        for (const DaRef<DaGroup>& group : groups)
            add(*group, group->name());
        break;
    }
    case Kind::group: {
        std::vector<DaRef<DaItem>> items;
        target.group->getItems(items);
        for (const DaRef<DaItem>& item : items)
            add(*item, item->itemId());
        break;
    }
    case Kind::namespaceRoot:
    case Kind::node: {
        std::vector<DaRef<DaElement>> elements;
        static_cast<const DaNode&>(*target.element).getChildren(elements);
        for (const DaRef<DaElement>& element : elements)
            children.push_back({element->isTag() ? "DTA" : "DNO", idOf(*element), element->getName()});
        break;
    }
    default:
        break;
    }
}

HRESULT DaWatch::getChildren(std::string_view parent, std::string& document) const
{
    std::vector<std::array<std::string, 3>> children;
    if (parent.empty()) {
        children = {{"ENT", "ENT", "DaS Entry"}, {"DOR", "DOR", "DaS Object Root"}, {"DNS", "DNS", "DaS Name Space Root"}};
    } else {
        Target target;
        if (!find(parent, target))
            return E_INVALIDARG;
        childrenOf(target, children);
    }
    DaXmlWriter xml;
    xml.open("children").attribute("parent", parent);
    const std::string self = idOf(*self_);
    for (const auto& [type, id, name] : children) {
        xml.open(type).attribute("id", id).attribute("name", name);
        if (id == self)
            xml.attribute("self", "1");  // the caller's own connection
        xml.close();
    }
    document = xml.finish();
    return S_OK;
}

HRESULT DaWatch::getObject(std::string_view id, std::string& document) const
{
    Target target;
    if (!find(id, target))
        return E_INVALIDARG;
    const size_t colon = id.find(':');
    DaXmlWriter xml;
    xml.open(id.substr(0, colon)).attribute("id", id);
    for (const auto& [name, value] : attributesOf(target))
        xml.attribute(name, value);
    document = xml.finish();
    return S_OK;
}

bool DaWatch::snapshot(const std::string& id, Snapshot& taken) const
{
    Target target;
    if (!find(id, target))
        return false;
    taken.attributes = attributesOf(target);
    std::vector<std::array<std::string, 3>> children;
    childrenOf(target, children);
    taken.children.clear();
    for (const auto& child : children)
        taken.children.push_back(child[1]);
    std::sort(taken.children.begin(), taken.children.end());
    return true;
}

HRESULT DaWatch::collectChanges(std::string_view ids, bool collect)
{
    std::vector<std::string> listed;
    for (size_t start = 0; start <= ids.size();) {
        size_t end = ids.find(kIdSeparator, start);
        if (end == std::string_view::npos)
            end = ids.size();
        if (end > start)
            listed.emplace_back(ids.substr(start, end - start));
        start = end + 1;
    }
    if (!collect) {
        std::lock_guard<std::mutex> hold(lock_);
        if (listed.empty())
            collected_.clear();
        for (const std::string& id : listed)
            collected_.erase(id);
        return S_OK;
    }
    if (listed.empty())
        return E_INVALIDARG;
    // Taken outside the lock: the engine locks its own objects.
    std::map<std::string, Snapshot> taken;
    for (const std::string& id : listed)
        if (!snapshot(id, taken[id]))
            return E_INVALIDARG;
    std::lock_guard<std::mutex> hold(lock_);
    for (auto& [id, shot] : taken)
        collected_[id] = std::move(shot);
    return S_OK;
}

void DaWatch::attributeChanged(const DaObject& object, const char* attribute, const std::string& value)
{
    const std::string id = idOf(object);
    std::lock_guard<std::mutex> hold(lock_);
    auto it = collected_.find(id);
    if (it == collected_.end())
        return;
    recorded_.push_back({"chg", {{"id", id}, {"attr", attribute}, {"value", value}}});
    // The next comparison starts from the recorded value, so the change shows once.
    for (auto& [name, old] : it->second.attributes)
        if (name == attribute)
            old = value;
}

void DaWatch::objectAdded(const DaObject& parent, const DaObject& child)
{
    const std::string parentId = idOf(parent), childId = idOf(child);
    std::lock_guard<std::mutex> hold(lock_);
    auto it = collected_.find(parentId);
    if (it == collected_.end())
        return;
    std::vector<std::string>& children = it->second.children;
    const auto at = std::lower_bound(children.begin(), children.end(), childId);
    if (at != children.end() && *at == childId)
        return;
    children.insert(at, childId);
    recorded_.push_back({"add", {{"parent", parentId}, {"id", childId}}});
}

std::string DaWatch::getChanges()
{
    std::vector<std::string> ids;
    {
        std::lock_guard<std::mutex> hold(lock_);
        for (const auto& entry : collected_)
            ids.push_back(entry.first);
    }
    // Looked at outside the lock: the engine locks its own objects.
    std::map<std::string, Snapshot> now;
    std::vector<std::string> gone;
    for (const std::string& id : ids)
        if (!snapshot(id, now[id])) {
            now.erase(id);
            gone.push_back(id);
        }

    std::lock_guard<std::mutex> hold(lock_);
    std::vector<Change> changes = std::move(recorded_);
    recorded_.clear();
    auto childChanges = [&changes](const char* element, const std::string& parent, const std::vector<std::string>& from,
                                   const std::vector<std::string>& without) {
        std::vector<std::string> diff;
        std::set_difference(from.begin(), from.end(), without.begin(), without.end(), std::back_inserter(diff));
        for (std::string& child : diff)
            changes.push_back({element, {{"parent", parent}, {"id", std::move(child)}}});
    };
    for (auto& [id, shot] : now) {
        auto it = collected_.find(id);
        if (it == collected_.end())
            continue;  // collecting ended meanwhile
        const Snapshot& before = it->second;
        for (size_t i = 0; i < shot.attributes.size(); ++i)
            if (i >= before.attributes.size() || before.attributes[i].second != shot.attributes[i].second)
                changes.push_back({"chg", {{"id", id}, {"attr", shot.attributes[i].first},
                                           {"value", shot.attributes[i].second}}});
        childChanges("add", id, shot.children, before.children);
        childChanges("del", id, before.children, shot.children);
        it->second = std::move(shot);
    }
    for (const std::string& id : gone)
        if (collected_.erase(id))
            changes.push_back({"gone", {{"id", id}}});

    DaXmlWriter xml;
    xml.open("changes");
    for (const Change& change : changes) {
        xml.open(change.element);
        for (const auto& [name, value] : change.attributes)
            xml.attribute(name, value);
        xml.close();
    }
    return xml.finish();
}

std::string DaWatch::getStatistics()
{
    DaStatistics& statistics = DaStatistics::process();
    uint32_t values[DaStatistics::kCounterCount];
    uint64_t readSum = statistics.readTimeSumMs(), writeSum = statistics.writeTimeSumMs();
    {
        std::lock_guard<std::mutex> hold(lock_);
        for (int i = 0; i < DaStatistics::kCounterCount; ++i) {
            const uint32_t now = statistics.value(DaStatistics::Counter(i));
            const bool maximum = i == DaStatistics::maxReadTime || i == DaStatistics::maxWriteTime;
            values[i] = maximum ? now : now - counters_[i];
            counters_[i] = now;
        }
        std::swap(readSum, readTimeSumMs_);
        std::swap(writeSum, writeTimeSumMs_);
        readSum = readTimeSumMs_ - readSum;
        writeSum = writeTimeSumMs_ - writeSum;
    }
    DaXmlWriter xml;
    xml.open("statistics");
    for (const auto& [name, value] : DaStatistics::reportOf(values, readSum, writeSum))
        xml.open("stat").attribute("name", name).attribute("value", value).close();
    return xml.finish();
}
