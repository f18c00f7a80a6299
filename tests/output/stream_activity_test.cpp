#include "platform/output/stream_activity.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "support/output_fakes.h"

namespace kolv::output {
namespace {

using ::testing::_;
using ::testing::InSequence;
using testing::MockStreamSource;
using testing::RecordingLog;
using ::testing::Return;
using ::testing::StrictMock;

NSError cameraError(std::string description) {
  return NSError::errorWithDomain("kolvCamera", -1, {{std::string(NSLocalizedDescriptionKey), description}});
}

auto failWith(std::string description) {
  return [description](NSErrorOut error) {
    if (error) *error = cameraError(description);
    return false;
  };
}

class StreamActivityTest : public ::testing::Test {
 protected:
  RecordingLog log;
  StrictMock<MockStreamSource> source;
  StreamActivity activity{log, "Kolv Camera Video"};
  CMIOExtensionClient client{NSUUID::UUID(), 0, {}};
};

TEST_F(StreamActivityTest, PeriodAsksAuthorizationStartsAndStopsOnce) {
  {
    InSequence order;
    EXPECT_CALL(source, authorizedToStartStreamForClient(_)).WillOnce(Return(true));
    EXPECT_CALL(source, startStreamAndReturnError(_)).WillOnce(Return(true));
    EXPECT_CALL(source, stopStreamAndReturnError(_)).WillOnce(Return(true));
  }
  EXPECT_TRUE(activity.begin(&source, client));
  EXPECT_TRUE(activity.started());
  activity.end(&source);
  activity.end(&source);  // e.g. PAUSED, then the connection breaks
  EXPECT_FALSE(activity.started());
  EXPECT_EQ(log.count("Kolv Camera Video: stream started"), 1u);
  EXPECT_EQ(log.count("Kolv Camera Video: stream stopped"), 1u);
}

TEST_F(StreamActivityTest, RepeatedBeginWithinAPeriodStartsOnce) {
  EXPECT_CALL(source, authorizedToStartStreamForClient(_)).WillOnce(Return(true));
  EXPECT_CALL(source, startStreamAndReturnError(_)).WillOnce(Return(true));
  EXPECT_TRUE(activity.begin(&source, client));
  EXPECT_TRUE(activity.begin(&source, client));
  EXPECT_CALL(source, stopStreamAndReturnError(_)).WillOnce(Return(true));
  activity.end(&source);
}

TEST_F(StreamActivityTest, EachNewPeriodStartsAgain) {
  EXPECT_CALL(source, authorizedToStartStreamForClient(_)).Times(2).WillRepeatedly(Return(true));
  EXPECT_CALL(source, startStreamAndReturnError(_)).Times(2).WillRepeatedly(Return(true));
  EXPECT_CALL(source, stopStreamAndReturnError(_)).Times(2).WillRepeatedly(Return(true));
  activity.begin(&source, client);
  activity.end(&source);
  activity.begin(&source, client);
  activity.end(&source);
}

TEST_F(StreamActivityTest, EndWithoutBeginSendsNothing) { activity.end(&source); }

TEST_F(StreamActivityTest, RefusedClientIsLoggedAndNeverStoppedNorRetriedInThePeriod) {
  EXPECT_CALL(source, authorizedToStartStreamForClient(_)).WillOnce(Return(false));
  EXPECT_FALSE(activity.begin(&source, client));
  EXPECT_FALSE(activity.begin(&source, client));
  activity.end(&source);
  EXPECT_EQ(log.count("refused to stream to client " + client.clientID.UUIDString()), 1u);

  // The next period asks again.
  EXPECT_CALL(source, authorizedToStartStreamForClient(_)).WillOnce(Return(true));
  EXPECT_CALL(source, startStreamAndReturnError(_)).WillOnce(Return(true));
  EXPECT_TRUE(activity.begin(&source, client));
  EXPECT_CALL(source, stopStreamAndReturnError(_)).WillOnce(Return(true));
  activity.end(&source);
}

TEST_F(StreamActivityTest, FailedStartIsLoggedWithItsDescriptionAndOwedNoStop) {
  EXPECT_CALL(source, authorizedToStartStreamForClient(_)).WillOnce(Return(true));
  EXPECT_CALL(source, startStreamAndReturnError(_)).WillOnce(failWith("Invalid device source"));
  EXPECT_FALSE(activity.begin(&source, client));
  activity.end(&source);
  const auto lines = log.lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_EQ(lines[0].type, OSLogType::error);
  EXPECT_EQ(lines[0].message, "Kolv Camera Video: failed to start streaming: Invalid device source");
}

TEST_F(StreamActivityTest, FailedStopIsLoggedAndTheStreamCountsAsStopped) {
  EXPECT_CALL(source, authorizedToStartStreamForClient(_)).WillOnce(Return(true));
  EXPECT_CALL(source, startStreamAndReturnError(_)).WillOnce(Return(true));
  EXPECT_CALL(source, stopStreamAndReturnError(_)).WillOnce(failWith("Invalid device source"));
  activity.begin(&source, client);
  activity.end(&source);
  activity.end(&source);
  EXPECT_FALSE(activity.started());
  EXPECT_EQ(log.count("failed to stop streaming: Invalid device source"), 1u);
}

TEST_F(StreamActivityTest, MissingSourceDeclinesThePeriod) {
  EXPECT_FALSE(activity.begin(nullptr, client));
  activity.end(&source);
  EXPECT_EQ(log.count("the stream has no source"), 1u);
}

}  // namespace
}  // namespace kolv::output
