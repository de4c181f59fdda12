// What the printer-port combos of the windows offer.
#pragma once

#include <QString>
#include <QStringList>

#include "print/port_list.h"

namespace tillcast::ui {

// The device configuration's value of `key`, as the UI shows it.
QString ConfigText(const char* key);

// The ports of the type `type` that discovery finds, plus the configured
// port when it is of that type and discovery misses it (an unplugged USB
// adapter, a pseudo-terminal, a path typed by hand): a configured port is
// never silently replaced by the first one found.
QStringList PortChoices(PortList* ports, const QString& type);

}  // namespace tillcast::ui
