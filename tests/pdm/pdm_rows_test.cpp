// Filling version and file records from dataset rows as the servers send
// them.
#include "pdm/pdm_rows.h"

#include <gtest/gtest.h>

#include "data/variant.h"

namespace brevalon {
namespace {

Dataset VersionRow(int32_t accessLevel) {
  Dataset ds;
  ds.AddField("_ID_VERSION", FieldType::Int32);
  ds.AddField("_PRODUCT", FieldType::Text);
  ds.AddField("_ID_TYPE", FieldType::Int32);
  ds.AddField("_VERSION", FieldType::Text);
  ds.AddField("_ID_LOCK", FieldType::Int32);
  ds.AddField("_ACCESSLEVEL", FieldType::Int32);
  ds.AddField("_ID_STATE", FieldType::Int32);
  ds.AppendRow({Variant(int32_t{101}), Variant("{0A}Чертёж"), Variant(int32_t{3}), Variant("A.1"), Variant(int32_t{7}),
                Variant(accessLevel), Variant(int32_t{2})});
  ds.First();
  return ds;
}

TEST(PdmRowsTest, VersionRowsShiftTheServerAccessLevel) {
  TVersionInfo info;
  ReadVersionInfo(info, VersionRow(1));
  EXPECT_EQ(info.IdVersion, 101);
  EXPECT_EQ(info.Product, "{0A}Чертёж");
  EXPECT_EQ(info.IdType, 3);
  EXPECT_EQ(info.Version, "A.1");
  EXPECT_EQ(info.IdLock, 7);
  EXPECT_EQ(info.AccessLevel, alReadOnly);
  EXPECT_EQ(info.IdState, 2);

  const std::vector<std::pair<int32_t, TAccessLevel>> levels = {
      {0, alNoAccess}, {1, alReadOnly}, {2, alReadWrite}, {3, alAdministration}, {4, alUndefined}, {-1, alUndefined}};
  for (const auto& [server, expected] : levels) {
    SCOPED_TRACE(server);
    ReadVersionInfo(info, VersionRow(server));
    EXPECT_EQ(info.AccessLevel, expected);
  }
}

TEST(PdmRowsTest, AMissingFieldIsTheDatasetsError) {
  Dataset ds;
  ds.AddField("_ID_VERSION", FieldType::Int32);
  ds.AppendRow({Variant(int32_t{1})});
  TVersionInfo version;
  EXPECT_THROW(ReadVersionInfo(version, ds), EDatasetException);
  TFileInfo file;
  EXPECT_THROW(ReadFileInfo(file, ds), EDatasetException);
}

TEST(PdmRowsTest, FileRowsReadChecksumsWithTheTopBitSetEitherWay) {
  for (FieldType crcType : {FieldType::Int32, FieldType::Int64}) {
    Dataset ds;
    ds.AddField("_ID_FILE", FieldType::Int32);
    ds.AddField("_NAME", FieldType::Text);
    ds.AddField("_LOCALNAME", FieldType::Text);
    ds.AddField("_DATEOFCREATE", FieldType::DateTime);
    ds.AddField("_SIZE", FieldType::Int32);
    ds.AddField("_CRC", crcType);
    ds.AddField("_MODIFIED", FieldType::DateTime);
    ds.Append();
    ds.FieldByName("_ID_FILE").SetInteger(5);
    ds.FieldByName("_NAME").SetString("plan.pdf");
    ds.FieldByName("_LOCALNAME").SetString("0005.bin");
    ds.FieldByName("_DATEOFCREATE").SetDateTime(45000.25);
    ds.FieldByName("_SIZE").SetInteger(1234);
    if (crcType == FieldType::Int32) {
      ds.FieldByName("_CRC").SetInteger(-268435456);
    } else {
      ds.FieldByName("_CRC").SetInt64(4026531840);
    }
    ds.FieldByName("_MODIFIED").SetDateTime(45001.5);

    TFileInfo file;
    file.EDSState = fesEDS;
    ReadFileInfo(file, ds);
    EXPECT_EQ(file.Id, 5);
    EXPECT_FALSE(file.IsEmpty());
    EXPECT_EQ(file.Name, "plan.pdf");
    EXPECT_EQ(file.LocalName, "0005.bin");
    EXPECT_EQ(file.Created, 45000.25);
    EXPECT_EQ(file.Size, 1234u);
    EXPECT_EQ(file.CRC, 0xF0000000u);
    EXPECT_EQ(file.Modified, 45001.5);
    EXPECT_EQ(file.EDSState, fesEDS);  // not the row's business
  }
}

}  // namespace
}  // namespace brevalon
