// Browser proxy switching: one activator per browser points the browser at a
// local proxy endpoint (Activate, keeping the browser's own values in memory)
// and writes the kept values back (Deactivate). TMainActivator fans both out
// over the system proxy settings, Opera and Firefox, in that order.
//
// Each activator also says what an Activate would change without changing
// anything (Plan), and tells an observer what each change replaces before
// making it (ActivationChanges.h), so that the proxy journal can put every
// browser's own settings back exactly from another process.
//
// Activators raise on failed writes and do not catch; an error ends the
// fan-out and the browsers after the failing one are left alone. Reads fail
// silently. Nothing is remembered outside the activator objects, so a fresh
// process that only deactivates switches every browser's proxy off.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "activators/ActivationChanges.h"
#include "activators/FirefoxPrefs.h"

class TProfileIni;

class TBrowserActivator {
 public:
  virtual ~TBrowserActivator() = default;
  // Ports travel as decimal text.
  virtual void Activate(const std::string& HTTP_Host, const std::string& HTTP_Port,
                        const std::string& SOCKS_Host, const std::string& SOCKS_Port) = 0;
  virtual void Deactivate() = 0;

  // Adds to `Changes` what Activate with these arguments would change now;
  // changes nothing. Raises as Activate does on what it cannot read.
  virtual void Plan(const std::string& /*HTTP_Host*/, const std::string& /*HTTP_Port*/,
                    const std::string& /*SOCKS_Host*/, const std::string& /*SOCKS_Port*/,
                    TActivationChanges& /*Changes*/) {}
  // Switches the browser's proxy off only where it points at Host:Port now;
  // every other setting stays as it is.
  virtual void DeactivateWherePointingAt(const std::string& /*Host*/, const std::string& /*Port*/) {
  }
  // Told before each change Activate makes; nullptr for nobody.
  void SetObserver(TActivationObserver* Observer) { FObserver = Observer; }

  // Appends to `List` the full path of every file named `FileName` (see
  // NameMatchesMask) in `Folder` and up to Depth - 1 folder levels below it,
  // depth first in listing order. Entries whose names begin with "." are
  // skipped; a folder that cannot be listed counts as empty.
  static void FindFiles(const std::string& Folder, const std::string& FileName,
                        std::vector<std::string>& List, unsigned Depth);

 protected:
  TActivationObserver* FObserver = nullptr;
};

// The per-user system proxy ("Internet Settings"), read by Internet Explorer
// and every program that follows the system settings.
class TIEActivator : public TBrowserActivator {
 public:
  void Activate(const std::string& HTTP_Address, const std::string& HTTP_Port,
                const std::string& SOCKS_Address, const std::string& SOCKS_Port) override;
  void Deactivate() override;
  void Plan(const std::string& HTTP_Address, const std::string& HTTP_Port,
            const std::string& SOCKS_Address, const std::string& SOCKS_Port,
            TActivationChanges& Changes) override;
  void DeactivateWherePointingAt(const std::string& Host, const std::string& Port) override;

 private:
  // What Activate changes; nothing without the Internet Settings key.
  static std::optional<TSystemProxyChange> Change(const std::string& HTTP_Address,
                                                  const std::string& HTTP_Port);

  std::int32_t FProxyEnable = 0;
  std::string FProxyServer;
};

// The "Proxy" section of every opera6.ini of the user.
class TOperaActivator : public TBrowserActivator {
 public:
  void Activate(const std::string& HTTP_Address, const std::string& HTTP_Port,
                const std::string& SOCKS_Address, const std::string& SOCKS_Port) override;
  void Deactivate() override;
  void Plan(const std::string& HTTP_Address, const std::string& HTTP_Port,
            const std::string& SOCKS_Address, const std::string& SOCKS_Port,
            TActivationChanges& Changes) override;
  void DeactivateWherePointingAt(const std::string& Host, const std::string& Port) override;

 private:
  struct TSettings {
    std::int32_t ProxyEnabled = 0;  // "Use HTTP"
    std::string HTTP_Server;        // "HTTP server"
    std::int32_t AutoProxy = 0;     // "Use Automatic Proxy Configuration"
  };

  // Reads the file's values, writes the given ones, returns what it read.
  TSettings ExchangeSettings(TProfileIni& Ini, std::int32_t UseHTTP, const std::string& Server,
                             std::int32_t AutoProxy);
  static std::vector<std::string> FindIniFiles();
  // Activate, or with `Planned` only what it would change.
  void Run(const std::string& Server, TActivationChanges* Planned);

  // One saved set per file, so that each file gets its own values back; a
  // file without one (nothing activated in this process) gets the proxy off.
  std::map<std::string, TSettings> FSaved;
};

// The proxy preferences of every Firefox profile's prefs.js.
class TFirefoxActivator : public TBrowserActivator {
 public:
  void Activate(const std::string& HTTP_Address, const std::string& HTTP_Port,
                const std::string& SOCKS_Address, const std::string& SOCKS_Port) override;
  void Deactivate() override;
  void Plan(const std::string& HTTP_Address, const std::string& HTTP_Port,
            const std::string& SOCKS_Address, const std::string& SOCKS_Port,
            TActivationChanges& Changes) override;
  void DeactivateWherePointingAt(const std::string& Host, const std::string& Port) override;

 private:
  // Activate, or with `Planned` only what it would change.
  void Run(const std::string& HTTP_Address, const std::string& HTTP_Port,
           const std::string& SOCKS_Address, const std::string& SOCKS_Port,
           TActivationChanges* Planned);

  // One saved set per prefs.js, keyed by its path.
  std::map<std::string, TFirefoxProxySettings> FSaved;
};

class TMainActivator {
 public:
  // The system proxy, Opera and Firefox activators, in the order of every
  // fan-out.
  TMainActivator();
  // Frees the activators without deactivating anything.
  ~TMainActivator();
  TMainActivator(const TMainActivator&) = delete;
  TMainActivator& operator=(const TMainActivator&) = delete;

  // Every browser to the local HTTP proxy 127.0.0.1:35489, no SOCKS endpoint.
  void Activate();
  void Deactivate();
  // What Activate would change now; nothing is changed.
  TActivationChanges Plan();
  // Told before each change Activate makes; nullptr for nobody.
  void SetObserver(TActivationObserver* Observer);
  // Switches off only the proxies that point at the local HTTP endpoint
  // now; a user's own proxy elsewhere stays.
  void DeactivateWherePointingAtEndpoint();

 private:
  std::vector<std::unique_ptr<TBrowserActivator>> FActivators;
};

// The settings files of this kind that Activate finds for the user now.
std::vector<std::string> FindActivatedFiles(TSettingsFileKind Kind);
// The bytes Activate writes over the change's original file (which it must
// hold); the same rewrite as Activate's own.
std::string ActivatedBytes(const TFileChange& Change);
// Whether two paths name one file to the activators (Windows: any case).
bool SameSettingsFile(const std::string& a, const std::string& b);

// The process's one composite, made when first asked for (so a failure to
// make it reaches its caller, not the process's start) and freed at exit.
TMainActivator& MainActivator();
