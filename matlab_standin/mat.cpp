// libmat of the MATLAB stand-in: empty. MATLAB's mex links its MAT-file library into every
// Linux module; the toolbox's modules call nothing in it, and only need it to be there.
