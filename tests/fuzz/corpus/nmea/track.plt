OziExplorer Track Point File Version 2.1
WGS 84
Altitude is in Feet
Reserved 3
0,2,255,t,0,0,2,0
2
  58.821140,  42.627060,1,  549.2,40230.3722801, 21-Feb-10, 8:56:05
  58.821300,  42.627280,0,  547.7,40230.3722801, 21-Feb-10, 8:56:05
 1e308,-1e308,0,1e308,1e308
