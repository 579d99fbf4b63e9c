#include "velloc/mail/mail_message.h"

#include <unistd.h>

int init_mail_message(MailMessage& message) {
  message = MailMessage();
  char host[kMaxMailField + 1] = {};
  if (gethostname(host, sizeof host - 1) == 0) message.local_host = host;
  return 1;
}
