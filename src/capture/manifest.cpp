// Registration-free manifests: the classes, type libraries and interfaces the components
// registered, for a program that keeps the components in its own folder.
#include <array>
#include <map>
#include <set>

#include "base/text.h"
#include "capture/exports.h"
#include "capture/placeholders.h"
#include "capture/registry_walk.h"
#include "capture/xml_text.h"

namespace kalvenor::capture {
namespace {

using platform::RegistryTree;
using platform::RegistryValue;
using platform::RegistryView;

// The names of the flags in a number written in decimal, bit 0 first, joined by commas (no
// blanks, or Windows reads only the first); none for anything but a number.
template <std::size_t N>
std::string FlagNames(const std::optional<std::string>& number,
                      const std::array<std::string_view, N>& names) {
  if (!number || number->empty() || number->size() > 10 ||
      number->find_first_not_of("0123456789") != std::string::npos)
    return "";
  const std::uint64_t flags = std::stoull(*number);
  std::string joined;
  for (std::size_t bit = 0; bit < N; ++bit) {
    if (flags >> bit & 1) joined += (joined.empty() ? "" : ",") + std::string(names[bit]);
  }
  return joined;
}

// OLEMISC, as OleRegGetMiscStatus reads them from a manifest.
constexpr std::array<std::string_view, 22> kMiscStatus = {"recomposeonresize",
                                                          "onlyiconic",
                                                          "insertnotreplace",
                                                          "static",
                                                          "cantlinkinside",
                                                          "canlinkbyole1",
                                                          "islinkobject",
                                                          "insideout",
                                                          "activatewhenvisible",
                                                          "renderingisdeviceindependent",
                                                          "invisibleatruntime",
                                                          "alwaysrun",
                                                          "actslikebutton",
                                                          "actslikelabel",
                                                          "nouiactivate",
                                                          "alignable",
                                                          "simpleframe",
                                                          "setclientsitefirst",
                                                          "imemode",
                                                          "ignoreactivatewhenvisible",
                                                          "wantstomenumerge",
                                                          "supportsmultilevelundo"};
// LIBFLAGS of a type library's FLAGS.
constexpr std::array<std::string_view, 4> kLibraryFlags = {"RESTRICTED", "CONTROL", "HIDDEN",
                                                           "HASDISKIMAGE"};

// The proxies of OLE Automation, which marshal an interface through its type library.
bool ThroughTypeLibrary(std::string_view proxy) {
  const std::string lower = AsciiLower(proxy);
  return lower == "{00020424-0000-0000-c000-000000000046}" ||
         lower == "{00020420-0000-0000-c000-000000000046}";
}

// The classes one component wrote, looked up as the registry does, in any letter case.
class ClassesOf {
 public:
  explicit ClassesOf(const Captured& component)
      : component_(component), tree_(Classes(component.registration)) {
    for (const RegistryValue& value : tree_.values)
      values_[AsciiLower(value.key) + '\0' + AsciiLower(value.name)] = &value;
  }

  std::optional<std::string> Text(const std::string& key, std::string_view name = "") const {
    const auto found = values_.find(AsciiLower(key) + '\0' + AsciiLower(name));
    if (found == values_.end() || !IsString(found->second->type)) return std::nullopt;
    return Strings(*found->second).front();
  }

  // The names of the key's subkeys, in the tree's order.
  std::vector<std::string> Subkeys(const std::string& key) const {
    const std::string prefix = AsciiLower(key) + "\\";
    std::vector<std::string> names;
    for (const std::string& each : tree_.keys) {
      if (AsciiLower(each).starts_with(prefix) &&
          each.find('\\', prefix.size()) == std::string::npos)
        names.push_back(each.substr(prefix.size()));
    }
    return names;
  }

  // The text as the manifest names the component: by its bare name, beside the program.
  std::string Placed(const std::string& text) const {
    const std::string name = BareName(component_);
    return WithPlaceholders(text, component_, {name, name, "", "", ""});
  }

  bool NamesComponent(const std::optional<std::string>& text) const {
    return text && AsciiLower(Placed(*text)) == AsciiLower(BareName(component_));
  }

 private:
  const Captured& component_;
  RegistryTree tree_;
  std::map<std::string, const RegistryValue*> values_;
};

class ManifestWriter {
 public:
  void File(const Captured& component) {
    const ClassesOf classes(component);
    files_ += "  <file name=\"" + XmlAttribute(BareName(component)) + "\">\n";
    for (const std::string& clsid : classes.Subkeys("CLSID")) Class(classes, clsid);
    for (const std::string& tlbid : classes.Subkeys("TypeLib")) {
      for (const std::string& version : classes.Subkeys("TypeLib\\" + tlbid))
        Library(classes, tlbid, version);
    }
    files_ += "  </file>\n";
    for (const std::string& iid : classes.Subkeys("Interface")) Interface(classes, iid);
  }

  std::string Text(RegistryView view, std::string_view name) const {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
           "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">\n"
           "  <assemblyIdentity type=\"win32\" name=\"" +
           XmlAttribute(name) + "\" version=\"1.0.0.0\" processorArchitecture=\"" +
           (view == RegistryView::Bits64 ? "amd64" : "x86") + "\" />\n" + files_ + stubs_ +
           "</assembly>\n";
  }

 private:
  // ` name="value"`, or nothing for an empty value.
  static std::string Attribute(std::string_view name, const std::optional<std::string>& value) {
    if (!value || value->empty()) return "";
    return " " + std::string(name) + "=\"" + XmlAttribute(*value) + "\"";
  }

  // Whether `what` is new to the manifest: Windows refuses a manifest that names a class,
  // ProgID, library or interface twice, so the first component's wins.
  bool First(std::string_view kind, std::string_view what) {
    return seen_.insert(std::string(kind) + ':' + AsciiLower(what)).second;
  }

  void Class(const ClassesOf& classes, const std::string& clsid) {
    const std::string key = "CLSID\\" + clsid;
    if (!classes.NamesComponent(classes.Text(key + "\\InprocServer32")) || !First("class", clsid))
      return;
    std::vector<std::string> progids;
    for (const char* name : {"\\ProgID", "\\VersionIndependentProgID"}) {
      const auto progid = classes.Text(key + name);
      if (progid && !progid->empty() && First("progid", *progid)) progids.push_back(*progid);
    }
    auto misc = [&](std::string_view attribute, const std::string& aspect) {
      return Attribute(attribute,
                       FlagNames(classes.Text(key + "\\MiscStatus" + aspect), kMiscStatus));
    };
    const auto description = classes.Text(key);
    files_ +=
        "    <comClass" + Attribute("clsid", clsid) +
        Attribute("threadingModel", classes.Text(key + "\\InprocServer32", "ThreadingModel")) +
        Attribute("progid", progids.empty() ? "" : progids[0]) +
        Attribute("tlbid", classes.Text(key + "\\TypeLib")) +
        Attribute("description", description ? classes.Placed(*description) : "") +
        misc("miscStatus", "") + misc("miscStatusContent", "\\1") +
        misc("miscStatusThumbnail", "\\2") + misc("miscStatusIcon", "\\4") +
        misc("miscStatusDocPrint", "\\8");
    if (progids.size() < 2) {
      files_ += " />\n";
      return;
    }
    files_ += ">\n";
    for (std::size_t i = 1; i < progids.size(); ++i)
      files_ += "      <progid>" + XmlAttribute(progids[i]) + "</progid>\n";
    files_ += "    </comClass>\n";
  }

  // A library version whose file, for any locale and either bitness, is the component.
  void Library(const ClassesOf& classes, const std::string& tlbid, const std::string& version) {
    const std::string key = "TypeLib\\" + tlbid + "\\" + version;
    bool served = false;
    for (const std::string& locale : classes.Subkeys(key)) {
      for (const char* platform : {"\\win32", "\\win64"})
        served = served || classes.NamesComponent(classes.Text(key + "\\" + locale + platform));
    }
    if (!served || !First("typelib", tlbid + "\\" + version)) return;
    // Windows requires helpdir; the component's folder is the program's, "".
    const auto help = classes.Text(key + "\\HELPDIR");
    files_ += "    <typelib" + Attribute("tlbid", tlbid) + Attribute("version", version) +
              " helpdir=\"" + XmlAttribute(help ? classes.Placed(*help) : "") + "\"" +
              Attribute("flags", FlagNames(classes.Text(key + "\\FLAGS"), kLibraryFlags)) + " />\n";
  }

  void Interface(const ClassesOf& classes, const std::string& iid) {
    const std::string key = "Interface\\" + iid;
    const auto proxy = classes.Text(key + "\\ProxyStubClsid32");
    if (!proxy || !ThroughTypeLibrary(*proxy) || !First("interface", iid)) return;
    stubs_ += "  <comInterfaceExternalProxyStub" + Attribute("name", classes.Text(key)) +
              Attribute("iid", iid) + Attribute("proxyStubClsid32", proxy) +
              Attribute("tlbid", classes.Text(key + "\\TypeLib")) + " />\n";
  }

  std::string files_, stubs_;
  std::set<std::string> seen_;
};

// The manifest's file name without ".manifest" and ".exe", as the assembly's name, in the
// letters, digits and marks that a name holds.
std::string AssemblyName(std::string_view path) {
  std::string name(path.substr(path.find_last_of("\\/") + 1));
  for (const std::string_view end : {".manifest", ".exe"}) {
    if (AsciiLower(name).ends_with(end)) name.resize(name.size() - end.size());
  }
  for (char& c : name) {
    const bool kept = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                      c == '.' || c == '-' || c == '_';
    if (!kept) c = '_';
  }
  return name.empty() ? "application" : name;
}

std::string WithBitness(std::string_view path, RegistryView view) {
  const std::string bits = view == RegistryView::Bits64 ? ".x64" : ".x86";
  const std::size_t name = path.find_last_of("\\/") + 1;
  const std::size_t dot = path.rfind('.');
  if (dot == std::string_view::npos || dot <= name) return std::string(path) + bits;
  return std::string(path.substr(0, dot)) + bits + std::string(path.substr(dot));
}

}  // namespace

std::vector<ExportFile> Manifests(const std::vector<Captured>& components, std::string_view path) {
  std::map<RegistryView, ManifestWriter> writers;
  for (const Captured& component : components) writers[component.view].File(component);
  std::vector<ExportFile> files;
  for (const auto& [view, writer] : writers) {
    files.push_back({writers.size() > 1 ? WithBitness(path, view) : std::string(path),
                     writer.Text(view, AssemblyName(path)), view});
  }
  return files;
}

}  // namespace kalvenor::capture
