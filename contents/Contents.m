% cellkit  Cell labelling, growing and tracking for microscopy images (MEX modules)
% Version 0.1.0 09-Dec-2026
%
% Labelling cells
%   ombrisk  - Label dark cells in a grey image by flooding it level by level.
%   tavenor3 - Grow a label from every seed pixel of a grey image over rising levels.
%
% Tracking cells
%   vesquin4 - Link cell markers of consecutive frames into tracks.
%
% All three take and return plain arrays, hold no state between calls and write no
% files. Type help followed by a function's name for its inputs, outputs and an example.
