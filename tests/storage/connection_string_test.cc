// Stored connection strings turned into the ODBC strings of the installed drivers.
#include <gtest/gtest.h>

#include "storage/internal.h"
#include "storage/storage.h"
#include "support/temp_dir.h"

namespace quorlan {
namespace {

std::string Translate(const std::string& s) { return TranslateConnectionString(s); }

std::string TranslationError(const std::string& s) {
  try {
    const std::string out = TranslateConnectionString(s);
    ADD_FAILURE() << "translated to " << out;
  } catch (const RuntimeError& e) {
    EXPECT_EQ(e.number(), err::kDatabase);
    return e.description();
  }
  return "";
}

TEST(ConnectionStringTest, SqlOleDbWithNamedInstance) {
  EXPECT_EQ(Translate("Provider=SQLOLEDB.1;Password=secret;Persist Security Info=True;User "
                      "ID=sa;Initial Catalog=Quorlan;Data Source=DBHOST\\SQLEXPRESS"),
            "Driver=FreeTDS;Server=DBHOST\\SQLEXPRESS;Database=Quorlan;UID=sa;PWD=secret;"
            "ClientCharset=UTF-8;TDS_Version=7.4");
}

TEST(ConnectionStringTest, IntegratedSecurityDropsUserAndPassword) {
  EXPECT_EQ(Translate("Provider=SQLOLEDB.1;Integrated Security=SSPI;Persist Security "
                      "Info=False;Initial Catalog=Quorlan;Data Source=MGMT01"),
            "Driver=FreeTDS;Server=MGMT01;Database=Quorlan;Trusted_Connection=Yes;"
            "ClientCharset=UTF-8;TDS_Version=7.4");
  EXPECT_EQ(Translate("Server=db;Database=Q;Trusted_Connection=yes;User ID=x;Password=y"),
            "Driver=FreeTDS;Server=db;Database=Q;Trusted_Connection=Yes;ClientCharset=UTF-8;TDS_"
            "Version=7.4");
}

TEST(ConnectionStringTest, PortsAddressesAndLocalNames) {
  EXPECT_EQ(Translate("Provider=SQLNCLI11;Server=tcp:10.1.2.3,1444;Database=Quorlan;Uid=sa;"
                      "Pwd=p"),
            "Driver=FreeTDS;Server=10.1.2.3;Port=1444;Database=Quorlan;UID=sa;PWD=p;"
            "ClientCharset=UTF-8;TDS_Version=7.4");
  // A port makes the instance name irrelevant: no SQL Server Browser look-up.
  EXPECT_EQ(Translate("Provider=MSOLEDBSQL;Data Source=HOST\\INST, 50123;Initial Catalog=Q"),
            "Driver=FreeTDS;Server=HOST;Port=50123;Database=Q;ClientCharset=UTF-8;TDS_Version=7.4");
  // An explicit network address wins over the data source name.
  EXPECT_EQ(Translate("Provider=SQLOLEDB;Data Source=Alias;Network Address=192.168.0.9,1433;"
                      "Initial Catalog=Q;User ID=sa;Password=x"),
            "Driver=FreeTDS;Server=192.168.0.9;Port=1433;Database=Q;UID=sa;PWD=x;"
            "ClientCharset=UTF-8;TDS_Version=7.4");
  EXPECT_EQ(Translate("Provider=SQLOLEDB;Addr=db2;Database=Q"),
            "Driver=FreeTDS;Server=db2;Database=Q;ClientCharset=UTF-8;TDS_Version=7.4");
  EXPECT_EQ(Translate("Provider=SQLOLEDB;Address=db3,1500"),
            "Driver=FreeTDS;Server=db3;Port=1500;ClientCharset=UTF-8;TDS_Version=7.4");
  EXPECT_EQ(Translate("Provider=SQLOLEDB;Data Source=(local);Initial Catalog=Q"),
            "Driver=FreeTDS;Server=127.0.0.1;Database=Q;ClientCharset=UTF-8;TDS_Version=7.4");
  EXPECT_EQ(Translate("Provider=SQLOLEDB;Data Source=.\\SQLEXPRESS"),
            "Driver=FreeTDS;Server=127.0.0.1\\SQLEXPRESS;ClientCharset=UTF-8;TDS_Version=7.4");
}

TEST(ConnectionStringTest, QuotedValuesOtherKeysAndCase) {
  EXPECT_EQ(Translate("provider=sqloledb.1; user id = sa ; password=\"a;b\"\"c\"; data "
                      "source=db;Application Name=Quorlan Trend;Workstation ID=MGMT;Encrypt=yes;"
                      "Connect Timeout=30;Auto Translate=True;Packet Size=4096"),
            "Driver=FreeTDS;Server=db;APP=Quorlan Trend;WSID=MGMT;Encryption=require;"
            "PacketSize=4096;UID=sa;PWD={a;b\"c};ClientCharset=UTF-8;TDS_Version=7.4");
  EXPECT_EQ(
      Translate("Provider=SQLOLEDB;Data Source=db;ApplicationIntent=readonly"),
      "Driver=FreeTDS;Server=db;ApplicationIntent=ReadOnly;ClientCharset=UTF-8;TDS_Version=7.4");
}

TEST(ConnectionStringTest, WhatCannotBeTranslatedIsNamed) {
  EXPECT_NE(TranslationError("Provider=MSDAORA;Data Source=orcl").find("'MSDAORA'"),
            std::string::npos);
  EXPECT_NE(TranslationError("Provider=SQLOLEDB;Data Source=np:\\\\host\\pipe\\sql\\query")
                .find("only TCP"),
            std::string::npos);
  EXPECT_NE(TranslationError("Provider=SQLOLEDB;Initial Catalog=Q").find("no Data Source"),
            std::string::npos);
  EXPECT_NE(TranslationError("Provider=SQLOLEDB;Data Source=db;Frobnicate=1").find("Frobnicate"),
            std::string::npos);
  EXPECT_NE(TranslationError("Provider=SQLOLEDB;Data Source=db,port").find("not a number"),
            std::string::npos);
  EXPECT_NE(TranslationError("Provider=SQLOLEDB;Data Source=db;Password='x};y'").find("PWD"),
            std::string::npos);
  EXPECT_NE(TranslationError("Provider=SQLOLEDB;Data Source=db;ApplicationIntent=Fast")
                .find("ApplicationIntent"),
            std::string::npos);
  EXPECT_NE(TranslationError("").find("empty"), std::string::npos);
}

TEST(ConnectionStringTest, OdbcStringsStandWithSafetyAdditions) {
  EXPECT_EQ(Translate("DSN=Quorlan;UID=sa;PWD=x"), "DSN=Quorlan;UID=sa;PWD=x");
  EXPECT_EQ(Translate("Driver=SQLite3;Database=/var/q/suite.db"),
            "Driver=SQLite3;Database=/var/q/suite.db;Timeout=1500;StepAPI=1");
  EXPECT_EQ(Translate("DRIVER={SQLite3};Database=/q.db;timeout=200;stepapi=0"),
            "DRIVER={SQLite3};Database=/q.db;timeout=200;stepapi=0");
  EXPECT_EQ(Translate("Driver=FreeTDS;Server=db;Port=1433;Database=Q;UID=sa;PWD=x;"),
            "Driver=FreeTDS;Server=db;Port=1433;Database=Q;UID=sa;PWD=x;TDS_Version=7.4;"
            "ClientCharset=UTF-8");
  EXPECT_EQ(Translate("Driver=FreeTDS;Server=db;TDS_Version=7.3"),
            "Driver=FreeTDS;Server=db;TDS_Version=7.3;ClientCharset=UTF-8");
  EXPECT_EQ(Translate("Driver=FreeTDS;Server=db;TDS_Version=7.3;ClientCharset=ISO-8859-1"),
            "Driver=FreeTDS;Server=db;TDS_Version=7.3;ClientCharset=ISO-8859-1");
  const std::string postgres =
      "Driver=PostgreSQL Unicode;Server=db;Port=5433;Database=q;Uid=t;SSLmode=verify-full;"
      "CommLog=0;Protocol=7.4";
  EXPECT_EQ(Translate(postgres), postgres);
  EXPECT_EQ(ServerPort(postgres), 5433);
  EXPECT_EQ(ServerPort("Driver=PostgreSQL ANSI;Server=db"), 5432);
  EXPECT_EQ(ServerPort("Driver=PostgreSQL Unicode;Server=/run/pg;Port=5433"), 0);
  EXPECT_EQ(ServerPort("Driver=FreeTDS;Server=db,1500"), 1500);
  EXPECT_NE(TranslationError("Driver=FreeTDS;Server=db;ApplicationIntent=yes")
                .find("ApplicationIntent 'yes'"),
            std::string::npos);
}

// Whoever can write a stored string must not make its next user load a library or write a file.
TEST(ConnectionStringTest, StringsThatLoadCodeOrWriteFilesAreRefused) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"Driver=/srv/x/lib.so;Database=/q.db",
       "Driver=/srv/x/lib.so names a library file; give the name of a driver registered with "
       "unixODBC (odbcinst -q -d): "},
      {"Driver={/srv/x/lib.so};Server=db", "Driver=/srv/x/lib.so names a library file"},
      {"Driver=libsqlite3odbc.so;Database=/q.db",
       "Driver=libsqlite3odbc.so is not a registered driver"},
      {"Driver=SQLite3;Database=/q.db;LoadExt=/srv/x/ext.so",
       "LoadExt=/srv/x/ext.so would load a library into this program; LoadExt is refused"},
      {"Driver=SQLite3;Database=/q.db;Tracefile=/etc/passwd", "Tracefile=/etc/passwd names a file"},
      {"FILEDSN=/srv/x/q.dsn", "FILEDSN=/srv/x/q.dsn names a file"},
      // psqlODBC: libpq options and SQL of the author's, logs with the password, quiet weakenings.
      {"Driver=PostgreSQL Unicode;Server=db;pqopt={sslcert=/c sslkey=/srv/x/e.so:k}",
       "pqopt= passes options or SQL of its own to the database at every connect; pqopt is "
       "refused"},
      {"DSN=pg;D5={service=x}", "D5= passes options"},
      {"Driver=PostgreSQL ANSI;Server=db;ConnSettings=DROP%20TABLE%20x", "ConnSettings= passes"},
      {"Driver={PostgreSQL Unicode};Server=db;CommLog=1", "CommLog=1 is refused; only CommLog=0"},
      {"DSN=pg;B2=1", "B2=1 is refused"},
      {"Driver=PostgreSQL Unicode;Server=db;IgnoreTimeout=1", "IgnoreTimeout=1 is refused"},
      {"Driver=PostgreSQL Unicode;Server=db;Protocol=7.4-0",
       "Protocol=7.4-0 changes what an error in a transaction undoes"},
      {"Driver=PostgreSQL Unicode;Server=db,5433",
       "Server=db,5433 would be a list of servers for PostgreSQL; name one server and give its "
       "port with Port="},
      {"Driver=PostgreSQL Unicode;Server=db;SSLmode=requre", "SSLmode=requre is not a TLS mode"},
      {"Driver=PostgreSQL Unicode;Server=db;sslmode=Require", "sslmode=Require is not a TLS mode"},
  };
  for (const auto& [in, error] : cases) {
    EXPECT_NE(TranslationError(in).find(error), std::string::npos) << TranslationError(in);
  }
  EXPECT_NE(TranslationError("Driver=/srv/x/lib.so").find("SQLite3"), std::string::npos)
      << "the registered drivers are listed";
}

TEST(ConnectionStringTest, JetStringsOpenTheFileByItsKind) {
  testing::TempDir dir;
  const std::string jet = "Provider=Microsoft.Jet.OLEDB.4.0;Data Source=" + dir.path() +
                          "\\Quorlan.mdb;Persist Security Info=False";
  EXPECT_NE(TranslationError(jet).find("does not exist"), std::string::npos);
  dir.Write("Quorlan.mdb", std::string("SQLite format 3\0rest of header", 30));
  EXPECT_EQ(LocalDbKindOf(dir.File("Quorlan.mdb")), LocalDbKind::kSqlite);
  EXPECT_EQ(Translate(jet), "Driver=SQLite3;Database=" + dir.File("Quorlan.mdb") +
                                ";NoCreat=1;Timeout=1500;StepAPI=1");
  dir.Write("Quorlan.mdb", std::string("\0\1\0\0Standard Jet DB\0\1\0\0\0", 24));
  EXPECT_EQ(LocalDbKindOf(dir.File("Quorlan.mdb")), LocalDbKind::kJet);
  EXPECT_EQ(Translate(jet), "Driver=MDBTools;DBQ=" + dir.File("Quorlan.mdb"));
  dir.Write("Quorlan.mdb", "");
  EXPECT_EQ(LocalDbKindOf(dir.File("Quorlan.mdb")), LocalDbKind::kUnknown);
}

TEST(ConnectionStringTest, PasswordsAreMaskedAndLiteralsQuoted) {
  const std::vector<std::pair<std::string, std::string>> cases = {
      {"Driver=FreeTDS;UID=sa;PWD={a;b};Server=x", "Driver=FreeTDS;UID=sa;PWD=***;Server=x"},
      {"Provider=SQLOLEDB.1;Password=secret;User ID=sa",
       "Provider=SQLOLEDB.1;Password=***;User ID=sa"},
      // "}}" inside braces stands for one "}": the value runs on to the last brace.
      {"PWD={Se}}cret;Tail99}", "PWD=***"},
      {"Driver=FreeTDS;PWD={Se}}cret;Tail99};UID=sa", "Driver=FreeTDS;PWD=***;UID=sa"},
      {"Password='a;''b;c';Data Source=db", "Password=***;Data Source=db"},
      {"Password=\"x;y\";Data Source=db", "Password=***;Data Source=db"},
      {"PWD={never;closed", "PWD=***"},
      {"Pwd = p w ;UID=sa", "Pwd =***;UID=sa"},
      // An unquoted ';' in a password: the parts without '=' after it are its tail.
      {"Driver=FreeTDS;PWD=ab;cd;ef;UID=sa", "Driver=FreeTDS;PWD=***;UID=sa"},
      {"Provider=SQLOLEDB;Password=ab;cd", "Provider=SQLOLEDB;Password=***"},
      {"Provider=Microsoft.Jet.OLEDB.4.0;Jet OLEDB:Database Password=s3;Data Source=x",
       "Provider=Microsoft.Jet.OLEDB.4.0;Jet OLEDB:Database Password=***;Data Source=x"}};
  for (const auto& [in, out] : cases) EXPECT_EQ(MaskPasswords(in), out) << in;
  // Nor does the error about such a string show the tail.
  const std::string error = TranslationError("Provider=SQLOLEDB;Data Source=db;Password=ab;cd");
  EXPECT_NE(error.find("the part after the value of Password"), std::string::npos) << error;
  EXPECT_EQ(error.find("cd"), std::string::npos) << error;
  EXPECT_EQ(SqlQuote("O'Brien"), "'O''Brien'");
}

}  // namespace
}  // namespace quorlan
