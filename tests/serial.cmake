# The tests that record gigabytes run alone: beside them, under an emulator, the paced
# tests that keep real time would starve.
set_tests_properties(LongTake.PastTwoGigabytesTheTakeGoesOnInASecondPart
                     TakeFile.ATwoPartTakeSurvivesAKillAtAnyMoment PROPERTIES RUN_SERIAL TRUE)
