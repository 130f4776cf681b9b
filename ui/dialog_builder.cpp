#include "ui/dialog_builder.h"

#include <pugixml.hpp>

#include "diag/log.h"
#include "ui/button.h"
#include "ui/container.h"
#include "ui/label.h"
#include "ui/web_browser.h"

namespace SkinUI {
namespace {

const char* ParseErrorText(pugi::xml_parse_status status) {
  switch (status) {
    case pugi::status_unrecognized_tag:
      return "Error parsing element name";
    case pugi::status_bad_start_element:
      return "Expected start-tag closing";
    case pugi::status_bad_end_element:
      return "Expected end-tag start";
    case pugi::status_end_element_mismatch:
      return "Unmatched closing tag";
    case pugi::status_bad_attribute:
      return "Error while parsing attributes";
    case pugi::status_bad_pcdata:
    case pugi::status_bad_cdata:
    case pugi::status_bad_comment:
    case pugi::status_bad_pi:
    case pugi::status_bad_doctype:
      return "Error while parsing attribute string";
    case pugi::status_no_document_element:
      return "Expected start tag";
    default:
      return "Expected attribute value";
  }
}

void ApplyFont(const pugi::xml_node& node, CPaintManagerUI* manager) {
  if (!manager) return;
  manager->AddFont(node.attribute("id").as_int(-1), node.attribute("name").as_string(),
                   node.attribute("size").as_int(12), ParseBool(node.attribute("bold").as_string()),
                   ParseBool(node.attribute("underline").as_string()),
                   ParseBool(node.attribute("italic").as_string()));
}

std::unique_ptr<CControlUI> Build(const pugi::xml_node& node, IDialogBuilderCallback* callback) {
  const std::string cls = node.name();
  std::unique_ptr<CControlUI> control = CDialogBuilder::CreateKnownControl(cls);
  if (!control && callback) control.reset(callback->CreateControl(cls));
  if (!control) return nullptr;  // unknown element: skipped with its children
  for (const pugi::xml_attribute& a : node.attributes()) control->SetAttribute(a.name(), a.value());
  if (auto* container = static_cast<CContainerUI*>(control->GetInterface("Container"))) {
    for (const pugi::xml_node& child : node.children()) {
      if (child.type() != pugi::node_element) continue;
      if (auto c = Build(child, callback)) container->Add(std::move(c));
    }
  }
  return control;
}

}  // namespace

std::unique_ptr<CControlUI> CDialogBuilder::CreateKnownControl(const std::string& cls) {
  if (cls == "Control") return std::make_unique<CControlUI>();
  if (cls == "Label") return std::make_unique<CLabelUI>();
  if (cls == "Text") return std::make_unique<CTextUI>();
  if (cls == "Button") return std::make_unique<CButtonUI>();
  if (cls == "VerticalLayout") return std::make_unique<CVerticalLayoutUI>();
  if (cls == "Container") return std::make_unique<CContainerUI>();
  if (cls == "WebBrowser") return std::make_unique<CWebBrowserUI>();
  return nullptr;
}

std::unique_ptr<CControlUI> CDialogBuilder::Create(const std::string& skin_file,
                                                   IDialogBuilderCallback* callback,
                                                   CPaintManagerUI* manager) {
  std::string xml;
  if (!CPaintManagerUI::LoadFile(skin_file, &xml, &error_)) {
    WriteLogTag("Error", "Skin %s: %s", skin_file.c_str(), error_.c_str());
    return nullptr;
  }
  auto root = CreateFromText(xml, callback, manager);
  if (!root) WriteLogTag("Error", "Skin %s: %s", skin_file.c_str(), error_.c_str());
  return root;
}

std::unique_ptr<CControlUI> CDialogBuilder::CreateFromText(const std::string& xml,
                                                           IDialogBuilderCallback* callback,
                                                           CPaintManagerUI* manager) {
  pugi::xml_document doc;
  pugi::xml_parse_result parsed =
      doc.load_buffer(xml.data(), xml.size(), pugi::parse_default, pugi::encoding_utf8);
  if (!parsed) {
    error_ = ParseErrorText(parsed.status);
    return nullptr;
  }
  pugi::xml_node window = doc.document_element();
  if (std::string(window.name()) != "Window") {
    error_ = "Expected start tag";
    return nullptr;
  }
  for (const pugi::xml_attribute& a : window.attributes()) {
    if (manager) manager->SetWindowAttribute(a.name(), a.value());
  }
  std::unique_ptr<CControlUI> root;
  for (const pugi::xml_node& child : window.children()) {
    if (child.type() != pugi::node_element) continue;
    if (std::string(child.name()) == "Font") {
      ApplyFont(child, manager);
    } else if (!root) {
      root = Build(child, callback);
    }
  }
  if (!root) error_ = "Expected start tag";
  return root;
}

}  // namespace SkinUI
