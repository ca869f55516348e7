#include "Netns.h"

#include <linux/ethtool.h>
#include <linux/sockios.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace {

bool sIsVeth(const std::string& name) {
  int fd = socket(AF_INET, SOCK_DGRAM, 0);
  if (fd < 0) return false;
  struct ethtool_drvinfo info;
  memset(&info, 0, sizeof(info));
  info.cmd = ETHTOOL_GDRVINFO;
  struct ifreq req;
  memset(&req, 0, sizeof(req));
  strncpy(req.ifr_name, name.c_str(), IFNAMSIZ - 1);
  req.ifr_data = reinterpret_cast<char*>(&info);
  bool veth = ioctl(fd, SIOCETHTOOL, &req) == 0 && strcmp(info.driver, "veth") == 0;
  close(fd);
  return veth;
}

}  // namespace

bool InPrivateNetns() {
  // if_nameindex asks the kernel about this process's own namespace (sysfs may show the host's).
  struct if_nameindex* list = if_nameindex();
  if (list == nullptr) return false;
  bool ok = true;
  for (struct if_nameindex* i = list; i->if_index != 0 && i->if_name != nullptr; ++i) {
    std::string name = i->if_name;
    if (name != "lo" && !sIsVeth(name)) {
      ok = false;
      break;
    }
  }
  if_freenameindex(list);
  return ok;
}
