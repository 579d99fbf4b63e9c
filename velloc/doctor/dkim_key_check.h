// The doctor's DKIM check of one selector: its DNS record (SELECTOR._domainkey.DOMAIN)
// must publish the public key of its key file, and a signature made with the file's
// private key must verify with the published key. Reads the key file; asks DNS once.
#pragma once

#include <map>
#include <string>
#include <string_view>

#include "velloc/doctor/dns_lookup.h"
#include "velloc/doctor/doctor_verdict.h"

struct DkimKeySetting {
  std::string selector;
  std::string key_file;  // PEM: PKCS#8, or PKCS#1 for RSA
  bool ed25519 = false;
};

// The tags of a DKIM or DMARC record ("k=rsa; p=MIIB..."): names in lower case,
// values trimmed, every blank of a value taken out (keys are split over lines).
std::map<std::string, std::string> record_tags(std::string_view record);

// The verdict on `key` under `domain` (status kFail with the reason when anything
// does not match).
DoctorVerdict check_dkim_key(DnsLookup& dns, const std::string& domain, const DkimKeySetting& key);
