#include "velloc/mail/mail_message.h"

int init_mail_message(MailMessage& message, const std::string& local_host,
                      const std::string& system_temp_dir) {
  message = MailMessage();
  message.local_host = local_host.substr(0, kMaxMailField);
  message.system_temp_dir = system_temp_dir;
  return 1;
}
