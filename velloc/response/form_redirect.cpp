#include "velloc/response/form_redirect.h"

#include "velloc/request/event_log.h"
#include "velloc/run.h"

RedirectHosts allowed_redirect_hosts(const Run& run) {
  return {run.request.get_env("HTTP_HOST"), run.request.get_env("SERVER_NAME"),
          run.settings.referers, run.settings.redirect_hosts};
}

std::optional<std::string> form_redirect_target(const Run& run, std::string_view field) {
  std::string address = run.request.get_field(field);
  if (address.empty()) return std::nullopt;
  if (decide_redirect(address, allowed_redirect_hosts(run)) == RedirectDecision::kRefuse) {
    log_event(run.message, 1, "Redirect not allowed: %s\n",
              without_control_characters(address).c_str());
    return std::nullopt;
  }
  return address;
}
