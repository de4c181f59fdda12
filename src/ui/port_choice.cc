#include "ui/port_choice.h"

#include "data/data_mgr.h"
#include "ui/ui_text.h"

namespace tillcast::ui {

QString ConfigText(const char* key) { return FromAnsi(DataMgr::GetInstance().GetConfig(key)); }

QStringList PortChoices(PortList* ports, const QString& type) {
  QStringList items;
  if (ports == nullptr || type.isEmpty()) return items;
  const PortGroups groups = ports->Refresh();
  if (auto it = groups.find(ToAnsi(type)); it != groups.end())
    for (const std::string& name : it->second) items << FromAnsi(name);
  const QString configured = ConfigText("PortName");
  if (!configured.isEmpty() && !items.contains(configured) && type == ConfigText("PortType")) items << configured;
  return items;
}

}  // namespace tillcast::ui
