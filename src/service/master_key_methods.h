#pragma once
// The API methods of the session's master-key list. The method table runs
// each row's prologue (count, kinds, certificate, subscriber) first; these
// handlers do the rest, on the service thread.
#include "device/master_key_list.h"
#include "xmlrpc/rpc_types.h"

namespace kavor2::service {

class TMasterKeyMethods {
 public:
  // list must outlive the handlers' use of it.
  explicit TMasterKeyMethods(device::TMasterKeyList& list) : list_(list) {}
  TMasterKeyMethods(const TMasterKeyMethods&) = delete;
  TMasterKeyMethods& operator=(const TMasterKeyMethods&) = delete;

  // (certificate, MAC, MasterKey): appends an entry, even for an ID that is
  // listed already. Neither text is validated; a text the conversions
  // refuse (an odd digit count in the ID, an empty key, more than 32 key
  // digits) raises platform::RangeError to the server, which answers it as
  // fault 1001 with the error's text, and the list stays as it was.
  void AddMasterKeyToList(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result);
  // (certificate): removes every entry.
  void ClearMasterKeyList(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result);
  // (certificate, MAC): removes the first entry whose upper-case ID text
  // equals MAC exactly; fault 1 "Device not found" when there is none.
  void DeleteMasterKeyToList(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result);

 private:
  device::TMasterKeyList& list_;
};

}  // namespace kavor2::service
