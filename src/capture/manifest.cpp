// Registration-free manifests: the classes, type libraries and interfaces the components
// registered, for a program that keeps the components in its own folder.
#include <array>
#include <initializer_list>
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

std::string Identity(std::string_view indent, RegistryView view, std::string_view name) {
  return std::string(indent) + "<assemblyIdentity type=\"win32\" name=\"" + XmlAttribute(name) +
         "\" version=\"1.0.0.0\" processorArchitecture=\"" +
         (view == RegistryView::Bits64 ? "amd64" : "x86") + "\" />\n";
}

constexpr char kUnheld[] = "it holds a control character that a manifest cannot hold";

// Windows' threading models as a manifest spells them. Windows refuses a whole manifest that
// holds another; the registry's "Single", like no value at all, means the main apartment, which
// a manifest says by leaving the attribute out.
constexpr std::array<std::string_view, 4> kThreadingModels = {"Apartment", "Free", "Both",
                                                              "Neutral"};

// The classes one component wrote, looked up as the registry does, in any letter case.
class ClassesOf {
 public:
  explicit ClassesOf(const Captured& component)
      : component_(component), tree_(Classes(component.registration)) {
    for (const RegistryValue& value : tree_.values)
      values_[AsciiLower(value.key) + '\0' + AsciiLower(value.name)] = &value;
  }

  // A string as Windows reads it, up to its first null.
  std::optional<std::string> Text(const std::string& key, std::string_view name = "") const {
    const auto found = values_.find(AsciiLower(key) + '\0' + AsciiLower(name));
    if (found == values_.end() || !IsString(found->second->type)) return std::nullopt;
    const ReadStrings read = StringsAsRead(*found->second);
    return read.strings.empty() ? "" : read.strings.front();
  }

  // The names of the key's subkeys (of the root for ""), in the tree's order.
  std::vector<std::string> Subkeys(const std::string& key) const {
    const std::string prefix = key.empty() ? "" : AsciiLower(key) + "\\";
    std::vector<std::string> names;
    for (const std::string& each : tree_.keys) {
      if (each.size() > prefix.size() && AsciiLower(each).starts_with(prefix) &&
          each.find('\\', prefix.size()) == std::string::npos)
        names.push_back(each.substr(prefix.size()));
    }
    return names;
  }

  // The text as the manifest names the component: by its bare name, beside the program.
  std::string Placed(const std::string& text) const {
    return WithPlaceholders(text, component_, {Name(), Name(), "", "", ""});
  }

  bool NamesComponent(const std::optional<std::string>& text) const {
    return text && AsciiLower(Placed(*text)) == AsciiLower(Name());
  }

  // The TYPELIB resource of the component that a type library's file names: 1 for the
  // component itself, n for "comp.dll\n", which LoadTypeLib reads from it; nothing for another
  // file.
  std::optional<std::string> LibraryResource(const std::optional<std::string>& text) const {
    if (!text) return std::nullopt;
    std::string placed = Placed(*text), resource = "1";
    const std::size_t slash = placed.rfind('\\');
    if (slash != std::string::npos && slash + 1 < placed.size() &&
        placed.find_first_not_of("0123456789", slash + 1) == std::string::npos) {
      resource = placed.substr(slash + 1);
      placed.resize(slash);
    }
    if (!NamesComponent(placed)) return std::nullopt;
    return resource;
  }

  std::string Name() const { return BareName(component_); }

 private:
  const Captured& component_;
  RegistryTree tree_;
  std::map<std::string, const RegistryValue*> values_;
};

// The assembly that describes the components of one bitness: what a private assembly's manifest
// and an application manifest both hold, with a note for each thing left out and a failed line
// for each that Windows would refuse.
class ManifestWriter {
 public:
  void File(const Captured& component) {
    const ClassesOf classes(component);
    std::set<std::string> own;  // the classes its file serves, in lower case
    for (const std::string& clsid : classes.Subkeys("CLSID")) {
      if (classes.NamesComponent(classes.Text("CLSID\\" + clsid + "\\InprocServer32")))
        own.insert(AsciiLower(clsid));
    }
    // ProgIDs that name their class under their own key; the keys beside them the classes'
    // ProgIDs do not name have no place in a manifest.
    std::set<std::string> placed = {"clsid", "typelib", "interface"};
    for (const std::string& clsid : own) {
      for (const char* name : {"\\ProgID", "\\VersionIndependentProgID"}) {
        if (const auto progid = classes.Text("CLSID\\" + clsid + name))
          placed.insert(AsciiLower(*progid));
      }
    }
    std::map<std::string, std::vector<std::string>> named;
    std::string unplaced;
    for (const std::string& root : classes.Subkeys("")) {
      const auto clsid = classes.Text(root + "\\CLSID");
      if (clsid && own.contains(AsciiLower(*clsid)))
        named[AsciiLower(*clsid)].push_back(root);
      else if (clsid)
        notes.push_back("ProgID " + root + " left out: its class " + *clsid + " is no class of " +
                        classes.Name());
      else if (!placed.contains(AsciiLower(root)))
        unplaced += (unplaced.empty() ? "" : ", ") + root;
    }
    if (!unplaced.empty())
      notes.push_back("keys of " + classes.Name() +
                      " a manifest has no place for left out: " + unplaced);
    std::string body;
    for (const std::string& clsid : classes.Subkeys("CLSID"))
      body += Class(classes, clsid, own.contains(AsciiLower(clsid)), named[AsciiLower(clsid)]);
    for (const std::string& tlbid : classes.Subkeys("TypeLib")) {
      for (const std::string& version : classes.Subkeys("TypeLib\\" + tlbid))
        body += Library(classes, tlbid, version);
    }
    for (const std::string& iid : classes.Subkeys("Interface"))
      body += Interface(classes, iid, own);
    files_ += "  <file name=\"" + XmlAttribute(classes.Name()) + "\">\n" + body + "  </file>\n";
  }

  std::string Text(RegistryView view, std::string_view name) const {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
           "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">\n" +
           Identity("  ", view, name) + files_ + stubs_ + "</assembly>\n";
  }

  std::vector<std::string> notes, failures;

 private:
  // ` name="value"`, or nothing for an empty value.
  static std::string Attribute(std::string_view name, const std::optional<std::string>& value) {
    if (!value || value->empty()) return "";
    return " " + std::string(name) + "=\"" + XmlAttribute(*value) + "\"";
  }

  // Whether XML can carry each of the texts an item writes; else a failed line, and the item is
  // left out: a character reference for a control character makes the whole manifest malformed.
  bool Held(const std::string& label, std::initializer_list<std::optional<std::string>> texts) {
    for (const std::optional<std::string>& text : texts) {
      if (text && !XmlHolds(*text)) {
        failures.push_back(label + " left out: " + kUnheld);
        return false;
      }
    }
    return true;
  }

  // Nothing when `what` is new to the manifest, else who has it: Windows refuses a manifest
  // that names a class, ProgID, library or interface twice, so the first one keeps it.
  std::optional<std::string> Holder(std::string_view kind, std::string_view what,
                                    const std::string& holder) {
    const auto [at, added] = seen_.try_emplace(std::string(kind) + ':' + AsciiLower(what), holder);
    if (added) return std::nullopt;
    return at->second;
  }

  // Whether `what` of the component is written; a note says why when it is not.
  bool Kept(const ClassesOf& classes, std::string_view kind, const std::string& what,
            const std::string& label) {
    const auto holder = Holder(kind, what, classes.Name());
    if (holder)
      notes.push_back(label + " of " + classes.Name() + " left out: " + *holder +
                      " has it already");
    return !holder;
  }

  // Why a class or library of the component is not its file's: it names another file, or none.
  static std::string Elsewhere(const ClassesOf& classes, const std::optional<std::string>& file,
                               std::string_view none) {
    return classes.Name() + " registered " +
           (file ? "it for " + *file : "no " + std::string(none) + " for it");
  }

  std::optional<std::string> ThreadingModel(const std::string& clsid,
                                            const std::optional<std::string>& value) {
    if (!value || value->empty() || AsciiLower(*value) == "single") return std::nullopt;
    for (const std::string_view model : kThreadingModels) {
      if (AsciiLower(*value) == AsciiLower(model)) return std::string(model);
    }
    failures.push_back("class " + clsid + " has the threading model \"" + *value +
                       "\", which Windows refuses in a manifest; it is described without one");
    return std::nullopt;
  }

  std::string Class(const ClassesOf& classes, const std::string& clsid, bool own,
                    const std::vector<std::string>& named) {
    const std::string key = "CLSID\\" + clsid, label = "class " + clsid;
    if (!own) {
      notes.push_back(
          label + " left out: " +
          Elsewhere(classes, classes.Text(key + "\\InprocServer32"), "in-process server"));
      return "";
    }
    const auto description = classes.Text(key);
    if (!Held(label, {clsid, classes.Text(key + "\\TypeLib"),
                      description ? classes.Placed(*description) : ""}))
      return "";
    if (!Kept(classes, "class", clsid, label)) return "";
    std::vector<std::string> progids;
    for (const char* name : {"\\ProgID", "\\VersionIndependentProgID"}) {
      if (const auto progid = classes.Text(key + name); progid && !progid->empty())
        progids.push_back(*progid);
    }
    progids.insert(progids.end(), named.begin(), named.end());
    // The class's key and the ProgID's own may both name it: each ProgID is weighed once.
    std::set<std::string> weighed;
    std::erase_if(progids, [&](const std::string& progid) {
      return !weighed.insert(AsciiLower(progid)).second;
    });
    std::erase_if(progids, [&](const std::string& progid) {
      if (!Held("ProgID " + progid + " of " + label, {progid})) return true;
      const auto holder = Holder("progid", progid, label);
      if (holder && *holder != label)
        notes.push_back("ProgID " + progid + " of " + label + " left out: " + *holder +
                        " has it already");
      return holder.has_value();
    });
    auto misc = [&](std::string_view attribute, const std::string& aspect) {
      return Attribute(attribute,
                       FlagNames(classes.Text(key + "\\MiscStatus" + aspect), kMiscStatus));
    };
    std::string text =
        "    <comClass" + Attribute("clsid", clsid) +
        Attribute("threadingModel",
                  ThreadingModel(clsid, classes.Text(key + "\\InprocServer32", "ThreadingModel"))) +
        Attribute("progid", progids.empty() ? "" : progids[0]) +
        Attribute("tlbid", classes.Text(key + "\\TypeLib")) +
        Attribute("description", description ? classes.Placed(*description) : "") +
        misc("miscStatus", "") + misc("miscStatusContent", "\\1") +
        misc("miscStatusThumbnail", "\\2") + misc("miscStatusIcon", "\\4") +
        misc("miscStatusDocPrint", "\\8");
    if (progids.size() < 2) return text + " />\n";
    text += ">\n";
    for (std::size_t i = 1; i < progids.size(); ++i)
      text += "      <progid>" + XmlAttribute(progids[i]) + "</progid>\n";
    return text + "    </comClass>\n";
  }

  // A library version whose file, for any locale and either bitness, is the component.
  std::string Library(const ClassesOf& classes, const std::string& tlbid,
                      const std::string& version) {
    const std::string key = "TypeLib\\" + tlbid + "\\" + version,
                      label = "type library " + tlbid + " " + version;
    std::optional<std::string> resource, elsewhere;
    for (const std::string& locale : classes.Subkeys(key)) {
      for (const char* platform : {"\\win32", "\\win64"}) {
        const auto file = classes.Text(key + "\\" + locale + platform);
        if (!resource) resource = classes.LibraryResource(file);
        if (!elsewhere) elsewhere = file;
      }
    }
    if (!resource) {
      notes.push_back(label + " left out: " + Elsewhere(classes, elsewhere, "file"));
      return "";
    }
    // A manifest names a file's first type library only, which Windows loads from it: written
    // for another, it would give a program that library in its place.
    if (*resource != "1") {
      notes.push_back(label + " left out: it is resource " + *resource + " of " + classes.Name() +
                      ", and a manifest names a file's first type library only");
      return "";
    }
    // Windows requires helpdir; the component's folder is the program's, "".
    const auto help = classes.Text(key + "\\HELPDIR");
    const std::string helpdir = help ? classes.Placed(*help) : "";
    if (!Held(label, {tlbid, version, helpdir})) return "";
    if (!Kept(classes, "typelib", tlbid + "\\" + version, label)) return "";
    return "    <typelib" + Attribute("tlbid", tlbid) + Attribute("version", version) +
           " helpdir=\"" + XmlAttribute(helpdir) + "\"" +
           Attribute("flags", FlagNames(classes.Text(key + "\\FLAGS"), kLibraryFlags)) + " />\n";
  }

  // An interface the component's own proxy/stub marshals goes in its file; one the type library
  // marshaller does stands at the assembly's level.
  std::string Interface(const ClassesOf& classes, const std::string& iid,
                        const std::set<std::string>& own) {
    const std::string key = "Interface\\" + iid, label = "interface " + iid;
    const auto proxy = classes.Text(key + "\\ProxyStubClsid32");
    const bool inFile = proxy && own.contains(AsciiLower(*proxy));
    if (!inFile && !(proxy && ThroughTypeLibrary(*proxy))) {
      notes.push_back(label + " left out: " +
                      (proxy ? "its proxy/stub " + *proxy + " is no class of " + classes.Name()
                             : classes.Name() + " registered no proxy/stub for it"));
      return "";
    }
    if (!Held(label, {classes.Text(key), iid, proxy, classes.Text(key + "\\TypeLib"),
                      classes.Text(key + "\\NumMethods"), classes.Text(key + "\\BaseInterface")}))
      return "";
    if (!Kept(classes, "interface", iid, label)) return "";
    const std::string attributes =
        Attribute("name", classes.Text(key)) + Attribute("iid", iid) +
        Attribute("proxyStubClsid32", proxy) + Attribute("tlbid", classes.Text(key + "\\TypeLib")) +
        Attribute("numMethods", classes.Text(key + "\\NumMethods")) +
        Attribute("baseInterface", classes.Text(key + "\\BaseInterface"));
    if (inFile) return "    <comInterfaceProxyStub" + attributes + " />\n";
    stubs_ += "  <comInterfaceExternalProxyStub" + attributes + " />\n";
    return "";
  }

  std::string files_, stubs_;
  std::map<std::string, std::string> seen_;
};

// The manifest's file name without ".manifest" and ".exe".
std::string Stem(std::string_view path) {
  std::string name(path.substr(path.find_last_of("\\/") + 1));
  for (const std::string_view end : {".manifest", ".exe"}) {
    if (AsciiLower(name).ends_with(end)) name.resize(name.size() - end.size());
  }
  return name;
}

// The stem in the letters, digits and marks that an assembly's name holds.
std::string AssemblyName(std::string_view path) {
  std::string name = Stem(path);
  for (char& c : name) {
    const bool kept = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                      c == '.' || c == '-' || c == '_';
    if (!kept) c = '_';
  }
  return name.empty() ? "application" : name;
}

// What a program's own manifest gains to use the assembly: its dependency, alone.
std::string DependencyText(RegistryView view, std::string_view assembly) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\" standalone=\"yes\"?>\n"
         "<assembly xmlns=\"urn:schemas-microsoft-com:asm.v1\" manifestVersion=\"1.0\">\n"
         "  <dependency>\n"
         "    <dependentAssembly>\n" +
         Identity("      ", view, assembly) +
         "    </dependentAssembly>\n"
         "  </dependency>\n"
         "</assembly>\n";
}

// `path` with `bits` before its extension: app.exe.x64.manifest.
std::string WithBitness(std::string_view path, std::string_view bits) {
  const std::size_t name = path.find_last_of("\\/") + 1;
  const std::size_t dot = path.rfind('.');
  if (dot == std::string_view::npos || dot <= name) return std::string(path) + std::string(bits);
  return std::string(path.substr(0, dot)) + std::string(bits) + std::string(path.substr(dot));
}

}  // namespace

ManifestNames ManifestNamesOf(std::string_view path, std::string_view bits) {
  const std::string folder(path.substr(0, path.find_last_of("\\/") + 1));
  // Windows probes the program's folder for <assembly name>.manifest.
  const std::string assembly = AssemblyName(path) + ".components" + std::string(bits);
  return {folder + assembly + ".manifest",
          folder + AssemblyName(path) + ".dependency" + std::string(bits) + ".manifest",
          WithBitness(path, bits), assembly};
}

std::vector<std::string> ManifestOwnFiles(std::string_view path) {
  std::vector<std::string> files;
  for (const char* bits : {"", ".x86", ".x64"}) {
    ManifestNames names = ManifestNamesOf(path, bits);
    for (std::string* name : {&names.assembly, &names.dependency, &names.application}) {
      if (*name != path) files.push_back(std::move(*name));
    }
  }
  return files;
}

std::vector<ExportFile> Manifests(const std::vector<Captured>& components, std::string_view path) {
  std::map<RegistryView, ManifestWriter> writers;
  for (const Captured& component : components) writers[component.view].File(component);
  const std::string stem = AssemblyName(path), program = Stem(path) + ".exe";
  const bool both = writers.size() > 1;
  std::vector<ExportFile> files;
  for (auto& [view, writer] : writers) {
    const ManifestNames names = ManifestNamesOf(path, !both                          ? ""
                                                      : view == RegistryView::Bits64 ? ".x64"
                                                                                     : ".x86");
    const std::string& assembly = names.assemblyName;
    const std::string dependency =
        names.dependency.substr(names.dependency.find_last_of("\\/") + 1);
    files.push_back({names.assembly, writer.Text(view, assembly), view, std::move(writer.notes),
                     std::move(writer.failures)});
    // After the assembly: Windows takes the dependency only when it finds the assembly beside it.
    files.push_back({names.dependency,
                     DependencyText(view, assembly),
                     view,
                     {"merged into " + program + "'s own manifest, " + Stem(path) +
                      ".manifest, with mt.exe -manifest " + Stem(path) + ".manifest " + dependency +
                      " -outputresource:" + program + ";#1, it has " + program + " use " +
                      assembly + ".manifest placed beside it"}});
    files.push_back({names.application, writer.Text(view, stem), view});
  }
  return files;
}

}  // namespace kalvenor::capture
