# The tests that record gigabytes run alone: beside them, under an emulator, the paced
# tests that keep real time would starve. So do the takes through a sound server, timed
# against the clock.
set_tests_properties(LongTake.PastTwoGigabytesTheTakeGoesOnInASecondPart
                     TakeFile.ATwoPartTakeSurvivesAKillAtAnyMoment
                     SoundServer.TakesAndPlaybackThroughPulseAudioAndPipeWire
                     PROPERTIES RUN_SERIAL TRUE)
