// Leaves JACK's metadata store (/dev/shm/jack_db-UID) as a process killed while opening it leaves
// it: the store's file is locked by a transaction that nobody will ever end, so the next process
// that opens the store waits for ever. The flags are those of JACK's client library. Run it only
// where /dev/shm is a tmpfs of the caller's own (a private mount namespace).

#include <db.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <string>

int main() {
  const std::string folder = "/dev/shm/jack_db-" + std::to_string(getuid());
  const std::string store = folder + "/metadata.db";
  if (mkdir(folder.c_str(), 0750) != 0) {
    perror(folder.c_str());
    return 1;
  }
  DB_ENV* environment = nullptr;
  DB_TXN* transaction = nullptr;
  DB* database = nullptr;
  if (db_env_create(&environment, 0) != 0 ||
      environment->open(environment, folder.c_str(), DB_CREATE | DB_INIT_LOCK | DB_INIT_MPOOL | DB_INIT_TXN | DB_THREAD, 0) != 0 ||
      environment->txn_begin(environment, nullptr, &transaction, 0) != 0 || db_create(&database, environment, 0) != 0 ||
      database->open(database, transaction, store.c_str(), nullptr, DB_HASH, DB_CREATE | DB_THREAD, 0666) != 0) {
    fprintf(stderr, "the store in %s could not be made\n", folder.c_str());
    return 1;
  }
  _exit(0);  // as if killed: the transaction's locks stay
}
