// A helper of the tests under Wine: stores a generic credential as
// "cmdkey /generic:<target> /user:<user> /pass:<password>" does, the
// password as UTF-16 (CredWriteA), or deletes it (CredDeleteA).
//   store_credential TARGET USER PASSWORD
//   store_credential TARGET
#include <windows.h>
// After windows.h, whose types it uses.
#include <wincred.h>

#include <string>

int main(int argc, char** argv) {
  if (argc == 2) return CredDeleteA(argv[1], CRED_TYPE_GENERIC, 0) ? 0 : 1;
  if (argc != 4) return 2;
  std::wstring secret;
  for (const char* at = argv[3]; *at != '\0'; ++at) {
    secret += static_cast<wchar_t>(static_cast<unsigned char>(*at));
  }
  CREDENTIALA credential = {};
  credential.Type = CRED_TYPE_GENERIC;
  credential.TargetName = argv[1];
  credential.UserName = argv[2];
  credential.CredentialBlobSize = static_cast<DWORD>(secret.size() * sizeof(wchar_t));
  credential.CredentialBlob = reinterpret_cast<LPBYTE>(&secret[0]);
  credential.Persist = CRED_PERSIST_LOCAL_MACHINE;
  return CredWriteA(&credential, 0) ? 0 : 1;
}
