#include "namespace/NamespaceLoader.h"

#include <charconv>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <memory>
#include <new>
#include <string_view>
#include <vector>

#include <pugixml.hpp>

#include "common/TVCmnString.h"
#include "da/DaStandardProperties.h"
#include "drivecomms/DriveTag.h"
#include "namespace/NamespaceBranches.h"
#include "namespace/ValueConversion.h"

namespace {

// Comments and processing instructions stay in the tree: under "QZNetcfg" they fail the
// load. Whitespace-only text is dropped, as a DOM without preserveWhiteSpace does.
constexpr unsigned kParseOptions = pugi::parse_default | pugi::parse_comments | pugi::parse_pi | pugi::parse_declaration;

constexpr const char* kDefaultSlotName = "List of parameters";
constexpr size_t kMaxMessageChars = 512;  // postDiagnostic cuts at the same length

class Loader {
public:
    Loader(DaNamespaceRoot& root, NamespaceDiagnostics& diagnostics, int32_t& protocol)
        : root_(root), diagnostics_(diagnostics), protocol_(protocol),
          verbose_(diagnostics.wants(kNamespaceDiagClass))
    {
    }

    bool build(const pugi::xml_document& document);

private:
    struct MenuState {
        MenuBranch* menu;
        bool discarded = false;
    };

    void note(const char* text)
    {
        if (verbose_)
            diagnostics_.post(kNamespaceDiagClass, text);
    }
    void note(const std::string& text)
    {
        if (verbose_)
            diagnostics_.post(kNamespaceDiagClass, text.size() > kMaxMessageChars ? text.substr(0, kMaxMessageChars) : text);
    }
    void noteFormat(const char* format, ...) KV_PRINTF_FORMAT(2, 3)
    {
        if (!verbose_)
            return;
        va_list args;
        va_start(args, format);
        diagnostics_.post(kNamespaceDiagClass, TVCmnString::formatV(kMaxMessageChars, format, args));
        va_end(args);
    }
    // Faults in the file that cost part of the address space: shown always.
    void fault(const char* format, ...) KV_PRINTF_FORMAT(2, 3)
    {
        va_list args;
        va_start(args, format);
        diagnostics_.post(kNamespaceDiagAlways, TVCmnString::formatV(kMaxMessageChars, format, args));
        va_end(args);
    }

    bool readText(const pugi::xml_node& element, std::string& text);
    bool readNumber(const pugi::xml_node& element, const char* owner, uint16_t& number);
    void reportRefusedName(HRESULT hr, const std::string& name, const char* what);

    void buildDriveNode(const pugi::xml_node& element);
    void buildSlot(const pugi::xml_node& element, DriveNodeBranch& driveNode);
    void buildMenu(const pugi::xml_node& element, SlotBranch& slot, DriveNodeBranch& driveNode);
    void buildParameter(const pugi::xml_node& element, MenuState& menu, DriveNodeBranch& driveNode);

    // Engineering units a parameter may carry beside its addressing: "units" (EU Units),
    // "lowEU" and "highEU" (an analog range, both needed) or "enum" texts in state order
    // (an enumerated EU). Applied when the parameter ends.
    struct EngineeringUnits {
        std::string units;
        bool hasUnits = false;
        double low = 0.0, high = 0.0;
        bool hasLow = false, hasHigh = false, badRange = false;
        std::vector<std::string> states;
    };
    bool readEngineeringUnits(const pugi::xml_node& element, std::string_view name, EngineeringUnits& eu);
    void applyEngineeringUnits(const EngineeringUnits& eu, DriveTag& tag);

    DaNamespaceRoot& root_;
    NamespaceDiagnostics& diagnostics_;
    int32_t& protocol_;
    const bool verbose_;
};

std::string_view nameOf(const pugi::xml_node& node) { return node.name(); }

// Optional leading white space and sign, then digits up to the first non-digit; no digits
// gives 0. Out-of-range values are held at the int32 limits instead of wrapping.
int32_t parseProtocol(const char* text)
{
    while (*text == ' ' || *text == '\t' || *text == '\r' || *text == '\n')
        ++text;
    bool negative = false;
    if (*text == '+' || *text == '-')
        negative = *text++ == '-';
    int64_t value = 0;
    for (; *text >= '0' && *text <= '9'; ++text) {
        value = value * 10 + (*text - '0');
        if (value > 2147483648LL)
            value = 2147483648LL;
    }
    if (negative)
        value = -value;
    if (value > 2147483647LL)
        value = 2147483647LL;
    return static_cast<int32_t>(value);
}

// The DOM hands out UTF-8; the system's texts are in the ANSI code page.
std::string toSystemText(std::string_view utf8)
{
    for (unsigned char c : utf8) {
        if (c >= 0x80)
            return TVCmnString::wideToAnsi(TVCmnString::utf8ToWide(utf8));
    }
    return std::string(utf8);
}

bool Loader::readText(const pugi::xml_node& element, std::string& text)
{
    const pugi::xml_node first = element.first_child();
    if (first.type() != pugi::node_pcdata) {
        fault("No text in element \"%s\"", element.name());
        return false;
    }
    text = toSystemText(first.value());
    return true;
}

bool Loader::readNumber(const pugi::xml_node& element, const char* owner, uint16_t& number)
{
    const pugi::xml_node first = element.first_child();
    if (first.type() != pugi::node_pcdata) {
        fault("No number in element \"%s\": %s discarded", element.name(), owner);
        return false;
    }
    const std::string text = TVCmnString::trim(first.value());
    uint32_t value = 0;
    bool valid = !text.empty() && text.size() <= 5;
    for (char c : text) {
        if (c < '0' || c > '9') {
            valid = false;
            break;
        }
        value = value * 10 + static_cast<uint32_t>(c - '0');
    }
    if (!valid || value > 0xFFFF) {
        fault("Bad number \"%.64s\" in element \"%s\": %s discarded", first.value(), element.name(), owner);
        return false;
    }
    number = static_cast<uint16_t>(value);
    return true;
}

void Loader::reportRefusedName(HRESULT hr, const std::string& name, const char* what)
{
    if (hr == OPC_E_DUPLICATENAME)
        fault("Duplicate name \"%.128s\": %s not added", name.c_str(), what);
    else if (FAILED(hr))
        fault("Invalid name \"%.128s\": %s not added", name.c_str(), what);
}

bool Loader::build(const pugi::xml_document& document)
{
    for (pugi::xml_node top = document.first_child(); top; top = top.next_sibling()) {
        if (const pugi::xml_attribute protocol = top.attribute("Protocol"))
            protocol_ = parseProtocol(protocol.value());
        note("looking for nodes");
        if (top.type() != pugi::node_element || nameOf(top) != "QZNetcfg")
            continue;
        note("found a node");
        for (pugi::xml_node child = top.first_child(); child; child = child.next_sibling()) {
            if (child.type() != pugi::node_element || (nameOf(child) != "Node" && nameOf(child) != "viaNode")) {
                diagnostics_.post(kNamespaceDiagClass, "Wrong XML file syntax: no devices element");
                return false;
            }
            buildDriveNode(child);
        }
    }
    note("finished at root");
    return true;
}

void Loader::buildDriveNode(const pugi::xml_node& element)
{
    DaRef<DriveNodeBranch> driveNode(new DriveNodeBranch);
    std::string refusedName;  // a name the rules refused; the node is then not offered
    bool nameRefused = false;
    if (element.first_child())
        note("param list not null");
    for (pugi::xml_node child = element.first_child(); child; child = child.next_sibling()) {
        note("enumerating param list");
        if (child.type() != pugi::node_element)
            continue;
        if (verbose_) {
            note(child.name());
            note(" *node name from XML");
        }
        const std::string_view name = nameOf(child);
        std::string text;
        if (name == "name") {
            if (readText(child, text)) {
                nameRefused = FAILED(driveNode->setName(text));
                if (nameRefused)
                    refusedName = text;
                note(text);
                note(" ** node contents");
            }
        } else if (name == "address") {
            if (readText(child, text)) {
                driveNode->nodeAddress = text;
                noteFormat("added node address %s", text.c_str());
            }
        } else if (name == "listaccess") {
            if (readText(child, text))
                noteFormat("%i converted bool", text == "y" ? 1 : 0);
        } else if (name == "Slot") {
            buildSlot(child, *driveNode);
        }
    }
    if (nameRefused) {
        reportRefusedName(E_INVALIDARG, refusedName, "drive node");
        return;
    }
    const HRESULT hr = root_.addChild(driveNode.get());
    if (FAILED(hr))
        reportRefusedName(hr, driveNode->getName(), "drive node");
}

void Loader::buildSlot(const pugi::xml_node& element, DriveNodeBranch& driveNode)
{
    DaRef<SlotBranch> slot(new SlotBranch);
    const pugi::xml_attribute slotName = element.attribute("SlotName");
    const std::string heldName = slotName ? toSystemText(slotName.value()) : std::string(kDefaultSlotName);
    bool discarded = false;
    for (pugi::xml_node child = element.first_child(); child; child = child.next_sibling()) {
        note("enumerating slot list");
        if (child.type() != pugi::node_element)
            continue;
        const std::string_view name = nameOf(child);
        if (name == "number") {
            uint16_t number = 0;
            if (!readNumber(child, "slot", number)) {
                discarded = true;
                continue;
            }
            note(heldName);
            note(" ** constructed slot name");
            slot->slotNumber = static_cast<uint8_t>(number & 0xFF);
            HRESULT hr = slot->setName(heldName);
            if (SUCCEEDED(hr) && !discarded && !slot->parent())
                hr = driveNode.addChild(slot.get());
            if (FAILED(hr))
                reportRefusedName(hr, heldName, "slot");
        } else if (name == "Menu") {
            buildMenu(child, *slot, driveNode);
        }
    }
    if (discarded && slot->parent())
        driveNode.removeChild(slot.get());
}

void Loader::buildMenu(const pugi::xml_node& element, SlotBranch& slot, DriveNodeBranch& driveNode)
{
    DaRef<MenuBranch> menu(new MenuBranch);
    MenuState state{menu.get()};
    for (pugi::xml_node child = element.first_child(); child; child = child.next_sibling()) {
        note("enumerating Menu list");
        if (child.type() != pugi::node_element)
            continue;
        const std::string_view name = nameOf(child);
        if (name == "name") {
            std::string text;
            if (!readText(child, text))
                continue;
            HRESULT hr = menu->setName(text);
            if (SUCCEEDED(hr) && !state.discarded && !menu->parent())
                hr = slot.addChild(menu.get());
            if (FAILED(hr))
                reportRefusedName(hr, text, "menu");
            note(text);
            note(" ** menu name");
        } else if (name == "addrHigh") {
            uint16_t number = 0;
            if (!readNumber(child, "menu", number)) {
                state.discarded = true;
                continue;
            }
            noteFormat("menu_%d", static_cast<int>(number));
            menu->menuNumber = static_cast<uint8_t>(number & 0xFF);
        } else if (name == "Parameter") {
            buildParameter(child, state, driveNode);
        }
    }
    if (state.discarded && menu->parent())
        slot.removeChild(menu.get());
}

void Loader::buildParameter(const pugi::xml_node& element, MenuState& menu, DriveNodeBranch& driveNode)
{
    DaRef<DriveTag> tag(new DriveTag);
    bool discarded = false;
    EngineeringUnits eu;
    for (pugi::xml_node child = element.first_child(); child; child = child.next_sibling()) {
        note("enumerating Param list");
        if (child.type() != pugi::node_element)
            continue;
        // Every parameter element re-applies the drive tag's request handling: 3, from
        // the cache first.
        tag->setDefaultHandling(3);
        tag->setCacheFirst(true);
        const std::string_view name = nameOf(child);
        std::string text;
        if (name == "name") {
            if (!readText(child, text))
                continue;
            HRESULT hr = tag->setName(text);
            if (SUCCEEDED(hr) && !discarded && !tag->parent())
                hr = menu.menu->addChild(tag.get());
            if (FAILED(hr))
                reportRefusedName(hr, text, "parameter");
            note(text);
            note(" ** added leaf contents");
        } else if (name == "addrLow") {
            uint16_t number = 0;
            if (!readNumber(child, "parameter", number)) {
                discarded = true;
                continue;
            }
            const std::string label = TVCmnString::format(32, "addr_%d", static_cast<int>(number));
            note(label);
            note(" ** added node addr & param name");
            tag->setNodeAddress(driveNode.nodeAddress);
            tag->setParameterNumber(number);
            tag->setMenuNumber(menu.menu->menuNumber);
            tag->setParameterLabel(label);
        } else if (name == "objecttype") {
            uint16_t number = 0;
            if (!readNumber(child, "parameter", number)) {
                discarded = true;
                continue;
            }
            tag->setObjectType(number);
            note("set object type");
        } else if (name == "datatype") {
            if (!readText(child, text))
                continue;
            tag->setDatatype(vtFromName(text));
            note(text);
            note(vtToName(tag->getDatatype()));
            note("set data type");
        } else if (name == "description") {
            if (!readText(child, text))
                continue;
            tag->setDescription(text);
            note("set description");
        } else if (name == "accessrights") {
            if (!readText(child, text))
                continue;
            const uint32_t rights = accessFromName(text);
            tag->setAccessRights(rights);
            note(rights != 0 ? "Good access string" : "Bad access rights string passed");
        } else if (readEngineeringUnits(child, name, eu)) {
            // units, lowEU, highEU, enum: handled
        } else {
            note("unknown element?");
        }
    }
    if (discarded && tag->parent()) {
        menu.menu->removeChild(tag.get());
        return;
    }
    applyEngineeringUnits(eu, *tag);
}

bool Loader::readEngineeringUnits(const pugi::xml_node& element, std::string_view name, EngineeringUnits& eu)
{
    std::string text;
    if (name == "units") {
        if (readText(element, text)) {
            eu.units = text;
            eu.hasUnits = true;
            note("set EU units");
        }
        return true;
    }
    if (name == "lowEU" || name == "highEU") {
        if (!readText(element, text))
            return true;
        double value = 0.0;
        const char* end = text.data() + text.size();
        const auto parsed = std::from_chars(text.data(), end, value);
        if (parsed.ec != std::errc() || parsed.ptr != end || !std::isfinite(value)) {
            fault("Bad number \"%.64s\" in element \"%s\": EU range ignored", text.c_str(), element.name());
            eu.badRange = true;
            return true;
        }
        (name == "lowEU" ? eu.low : eu.high) = value;
        (name == "lowEU" ? eu.hasLow : eu.hasHigh) = true;
        note("set EU range");
        return true;
    }
    if (name == "enum") {
        if (readText(element, text)) {
            eu.states.push_back(text);
            note("set enumeration");
        }
        return true;
    }
    return false;
}

void Loader::applyEngineeringUnits(const EngineeringUnits& eu, DriveTag& tag)
{
    if (eu.hasUnits) {
        DaRef<DaProperty> units(new DaProperty(kDaPropEuUnits));
        const std::wstring wide = TVCmnString::ansiToWide(eu.units);
        VARIANT value;
        VariantInit(&value);
        value.vt = VT_BSTR;
        value.bstrVal = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
        units->setValue(value);
        VariantClear(&value);
        tag.addProperty(units.get());
    }
    if (eu.hasLow && eu.hasHigh && !eu.badRange)
        tag.setAnalogEU(eu.low, eu.high);
    else if (!eu.states.empty())
        tag.setEnumeratedEU(eu.states);
}

bool buildFrom(const pugi::xml_document& document, DaNamespaceRoot& root, NamespaceDiagnostics& diagnostics,
               int32_t& protocol)
{
    Loader loader(root, diagnostics, protocol);
    return loader.build(document);
}

}  // namespace

bool loadNamespaceFile(const std::string& fileName, DaNamespaceRoot& root, NamespaceDiagnostics& diagnostics,
                       int32_t& protocol, const NamespaceLoadOptions& options)
{
    pugi::xml_document* document = new (std::nothrow) pugi::xml_document;
    if (!document) {
        diagnostics.post(kNamespaceDiagClass, "Can't create MSXML2::DOMDocument object");
        return false;
    }
    std::unique_ptr<pugi::xml_document> owner(document);
    if (!document->load_file(fileName.c_str(), kParseOptions)) {
        diagnostics.post(kNamespaceDiagAlways,
                         TVCmnString::format(kMaxMessageChars, "Cannot open file \"%s\" trying backup file \"appdefault.xml\"",
                                             fileName.c_str()));
        if (!document->load_file(options.fallbackFileName.c_str(), kParseOptions))
            return false;
    }
    return buildFrom(*document, root, diagnostics, protocol);
}

bool loadNamespaceDocument(const void* data, size_t sizeBytes, DaNamespaceRoot& root,
                           NamespaceDiagnostics& diagnostics, int32_t& protocol)
{
    pugi::xml_document document;
    if (!document.load_buffer(data, sizeBytes, kParseOptions))
        return false;
    return buildFrom(document, root, diagnostics, protocol);
}
