#include "service/master_key_methods.h"

#include "service/api_prologue.h"

namespace kavor2::service {
namespace {

constexpr std::size_t kMacParam = 1;
constexpr std::size_t kKeyParam = 2;

}  // namespace

void TMasterKeyMethods::AddMasterKeyToList(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction&) {
  // Built apart and appended only once both texts converted, so a refused
  // call leaves no half-made entry behind.
  device::TKeyItem item;
  item.SetIdText(params.at(kMacParam).AsString());
  item.SetKeyText(params.at(kKeyParam).AsString());
  list_.Add(item);
}

void TMasterKeyMethods::ClearMasterKeyList(const xmlrpc::TRpcParams&, xmlrpc::TRpcFunction&) { list_.Clear(); }

void TMasterKeyMethods::DeleteMasterKeyToList(const xmlrpc::TRpcParams& params, xmlrpc::TRpcFunction& result) {
  if (!list_.DeleteIdText(params.at(kMacParam).AsString())) SetFault(result, kDeviceNotFound);
}

}  // namespace kavor2::service
