// Linked into the static executable only, with -Wl,--wrap=OPENSSL_cpuid_setup.
//
// A statically linked libcrypto calls OPENSSL_cpuid_setup from the .init
// section of the process: CPUID instructions (which trap to the hypervisor on
// a virtual machine) and a page or two of OpenSSL's data, in every CGI run,
// although only runs whose ini asks for TLS ever use OpenSSL. The wrapper
// skips that first call, made before main, and passes every later one on:
// the TLS layer calls it before OpenSSL starts, and the probe itself runs
// once only.
extern "C" void __real_OPENSSL_cpuid_setup(void);

extern "C" void __wrap_OPENSSL_cpuid_setup(void) {
  static bool process_start = true;
  if (process_start) {
    process_start = false;
    return;
  }
  __real_OPENSSL_cpuid_setup();
}
