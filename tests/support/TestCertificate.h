#pragma once
#include <string>

struct TestCertificate {
  std::string certPath;
  std::string keyPath;
};

// A self-signed key and certificate in dir, made by the openssl command line, with the given
// subjectAltName ("IP:127.0.0.1", "DNS:other.invalid"). Fails the test when openssl fails.
TestCertificate MakeTestCertificate(const std::string& dir, const std::string& subjectAltName);
