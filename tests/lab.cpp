// pdTest-lab on the built pdTest.
