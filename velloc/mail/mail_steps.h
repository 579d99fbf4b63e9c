// Steps 10 and 11: the form mail to the site owner and the receipt to the visitor.
#pragma once

struct Run;

int send_form_mail(Run& run);
int send_receipt(Run& run);
